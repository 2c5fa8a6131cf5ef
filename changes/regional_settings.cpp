#include "changes/regional_settings.h"

enum { ISO_DATE_TIME_FLAGS = 0x019C };

void fillRegionalSettings(RegionalSettings *settings)
{
    storeReadRegionalSettings(settings, sizeof *settings);
    settings->flags = ISO_DATE_TIME_FLAGS;
    settings->dateSeparator[0] = '-';
    settings->dateSeparator[1] = '\0';
    settings->timeSeparator[0] = ':';
    settings->timeSeparator[1] = '\0';
}

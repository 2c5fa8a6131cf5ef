#ifndef VRXCHDET_REGIONAL_SETTINGS_H
#define VRXCHDET_REGIONAL_SETTINGS_H

#include "store/store_client.h"

// The store's defaults, with flags and separators set so that the store reads
// and writes YYYY-MM-DD HH:MM:SS.
void fillRegionalSettings(RegionalSettings *settings);

#endif

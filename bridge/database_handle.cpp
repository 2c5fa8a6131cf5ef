#include "bridge/database_handle.h"

StoreHandle openDatabaseHandle = 0;

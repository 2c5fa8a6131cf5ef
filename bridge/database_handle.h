#ifndef VRXCHDET_DATABASE_HANDLE_H
#define VRXCHDET_DATABASE_HANDLE_H

#include "store/store_client.h"

// The one database this process has open through the bridge; 0 when none.
extern StoreHandle openDatabaseHandle;

#endif

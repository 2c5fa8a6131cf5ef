#include "bridge/database_handle.h"
#include "bridge/trace.h"
#include "com_kestrum_orlo_connector_VarnexChangeDetectionConnector.h"

JNIEXPORT void JNICALL Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_termTesra(JNIEnv *, jobject)
{
    traceText(TRACE_ENTRY_LINE("termTesra"));
    if (openDatabaseHandle != 0) {
        storeCloseDatabase(openDatabaseHandle);
        storeTerm();
        // Cleared so that a second termTesra neither closes the closed handle
        // nor shuts down a runtime that is already down.
        openDatabaseHandle = 0;
    }
    traceText(TRACE_END_LINE("termTesra"));
}

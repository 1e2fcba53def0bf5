#pragma once

// The adapter library's additional calls as the program reaches them: each pointer is
// null when the library does not offer the call, and callers then do without what it
// would report. Read from any thread; tests replace the table (before starting threads)
// to play a library with or without the calls.

#include "canable/canable.h"

struct AdapterCalls
{
    decltype(&canable_lastReadTimestamp) lastReadTimestamp = nullptr;
    decltype(&canable_listInterfaces) listInterfaces = nullptr;
    decltype(&canable_selectInterface) selectInterface = nullptr;
    decltype(&canable_setListenOnly) setListenOnly = nullptr;
    decltype(&canable_lastError) lastError = nullptr;
    decltype(&canable_readErrorEvent) readErrorEvent = nullptr;
    decltype(&canable_getStatus) getStatus = nullptr;
    decltype(&canable_initFD) initFD = nullptr;
    decltype(&canable_readMessageFD) readMessageFD = nullptr;
    decltype(&canable_writeMessageFD) writeMessageFD = nullptr;
    decltype(&canable_setReceiveFilter) setReceiveFilter = nullptr;

    bool hasFd() const { return initFD && readMessageFD && writeMessageFD; }
};

// The calls the linked library offers.
AdapterCalls &adapterCalls();

// The table as resolved from the linked library, for tests that restore it.
AdapterCalls linkedAdapterCalls();

#include "device/adaptercalls.h"

AdapterCalls linkedAdapterCalls()
{
    // The declarations are weak, so an absent call reads as a null address here.
    AdapterCalls calls;
    calls.lastReadTimestamp = &canable_lastReadTimestamp;
    calls.listInterfaces = &canable_listInterfaces;
    calls.selectInterface = &canable_selectInterface;
    calls.setListenOnly = &canable_setListenOnly;
    calls.lastError = &canable_lastError;
    calls.readErrorEvent = &canable_readErrorEvent;
    calls.getStatus = &canable_getStatus;
    calls.initFD = &canable_initFD;
    calls.readMessageFD = &canable_readMessageFD;
    calls.writeMessageFD = &canable_writeMessageFD;
    calls.setReceiveFilter = &canable_setReceiveFilter;
    return calls;
}

AdapterCalls &adapterCalls()
{
    static AdapterCalls calls = linkedAdapterCalls();
    return calls;
}

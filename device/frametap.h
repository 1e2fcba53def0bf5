#pragma once

// Something that sees every frame the hub passes, in the hub's order: received and sent
// frames (refused writes included, with success false) and error events. The hub calls
// tapFrame() on the device thread that delivered the frame while holding its lock, so an
// implementation must return at once and must not call back into the hub.

#include "device/canmessage.h"

class FrameTap
{
public:
    virtual ~FrameTap() = default;
    virtual void tapFrame(const CanMessage &msg) = 0;
};

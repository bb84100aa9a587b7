/*++

Module Name:

    tarnresources.h

Abstract:

    The driver's generated resources as the host loads them: the message
    table compiled from tarnmsg.mc and the trace format table collected
    from the driver's trace calls.  Host code only (tests, the MPIO host,
    tools); the driver never sees these tables, as on the real system
    where they live in the image's resources and the trace format files.

--*/

#pragma once

#include <string>

// Registers the message table under the event source the driver logs as
// (the last component of its driver object's name, e.g. u"tarndsm").
void TarnRegisterMessages(const std::u16string &source);

// Registers the trace formats of every trace call in the driver.
void TarnRegisterTraceFormats();

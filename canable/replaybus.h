#pragma once

// The simulated bus replaying a trace (CANABLE_SIM_TRAFFIC=replay:<path>): the frames of a
// candump log, ASC, pcap(ng), BLF or CSV file arrive with their original gaps, over and over,
// so that a capture from a vehicle becomes the bus to try the program on. Error events of
// the trace are left out (the record cannot carry them); frames the trace marks as sent
// arrive like the others. Written frames are accepted without bus timing. The trace's FD
// frames arrive only on a bus opened in FD mode; a classic bus passes them over.
//
// The file is read on a thread of the bus's own, a few hundred frames ahead, so that a
// read never waits on the file: a stretch of gigabytes without a frame (zeros, containers
// that inflate to nothing) delays the frames after it, not the reads, and the close ends
// the reading within milliseconds. The open waits up to 0.1 s for the first frame; a file
// still being searched then opens, and the bus stays silent until a frame is found.
//
// Threads: read() or readFd() on one thread and write() or writeFd() on another may run at
// the same time.

#include "canable/backend.h"

namespace canable {

// Null after one line on stderr when the file cannot be read or holds no frame.
std::unique_ptr<Backend> openReplayBus(const std::string &path, bool fdMode);

} // namespace canable

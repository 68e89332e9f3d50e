#pragma once
// The terrain side of `frame_end`: after the snapshot publication, `frame_end` ends the calling
// thread's terrain exchange frame here (the terrain cost and sampling counters, the deliveries of the
// host's answers to their answer tables). The terrain exchange defines it.
namespace qm {

void end_exchange_frame();

}  // namespace qm

// Which process a native object was made in, for objects that a forked child inherits.
//
// A child made by fork has only the thread that forked. Objects it inherits from its
// parent may belong to threads that do not exist in it (the framework's delivery and
// sampling threads, and the mutexes they may have held at the moment of the fork):
// calling into such an object there can wait for ever. A process generation tells
// them apart: it changes in every forked child, so an object that recorded another
// generation was made by an ancestor process.
#pragma once

#include <cstdint>

namespace Vexa::VexaPy {

using ProcessGeneration = std::uint64_t;

// The generation of the running process: the same for the whole life of a process,
// different in each child forked from it.
ProcessGeneration CurrentProcessGeneration();

// Runs action in every child forked from now on, however it was forked (os.fork, the
// multiprocessing fork start method, the C library's fork called from native code),
// on the forking thread as soon as the fork returns there, before anything else runs:
// action may only store to atomics. Where there is no fork (Windows), there is no
// child and nothing is registered. The process generation is advanced before any
// action runs. Called with the interpreter lock held.
void RunInForkedChildren(void (*action)());

// Makes CurrentProcessGeneration change in forked children; idempotent. Called with
// the interpreter lock held, before the first object that records a generation exists.
void TrackForkedChildren();

}  // namespace Vexa::VexaPy

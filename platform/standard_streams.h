#pragma once

namespace kestrel {

// Makes sure standard input, output and error are open (on the null device when
// the caller closed them), so that no file the program opens later takes their
// place and receives log lines meant for standard error. Call first thing.
void EnsureStandardStreams();

}  // namespace kestrel

// Seams of the key-file writer, for tests that must make a step fail the way
// a full disk or a crash would. Production code never changes them.
#pragma once

namespace ostrel_pq::key_file_io {

using RenameFn = int (*)(const char* from, const char* to);

// The call that moves the finished temporary file over the target; ::rename
// unless a test replaced it. Returns the previous function.
RenameFn set_rename(RenameFn fn) noexcept;

}  // namespace ostrel_pq::key_file_io

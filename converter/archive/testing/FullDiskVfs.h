#pragma once
// A disk that fills up on request, for tests: a SQLite VFS over the default one whose writes
// fail with SQLITE_FULL while the switch is on, made the process's default so that code under
// test opens its archive through it without knowing. Only writes fail; reads, syncs and locks
// go through, as on a real full disk.

namespace saltmark::archive::testing {

// Registers the VFS as the default (once per process) and sets whether writes fail.
void SetDiskFull(bool full);

}  // namespace saltmark::archive::testing

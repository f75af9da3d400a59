#pragma once

// The mode of the files the program makes. A directory with its
// set-group-ID bit set is shared by a group (the site directory, which the
// service and its operators both work in): a file made there takes the
// directory's group, and is made readable and writable by that group as far
// as its owner may read and write it, whatever the umask of the person or
// service that made it. Anywhere else the umask alone decides.

#include <sys/types.h>

#include <string>

namespace tallon {

// `mode` for a new file in `directory` ("" for the working directory): in a
// set-group-ID directory, `mode` with the group given the owner's read and
// write permission; elsewhere `mode` unchanged. One stat of the directory.
mode_t GroupShareMode(const std::string& directory, mode_t mode);

// Applies GroupShareMode to a file just made at `path`: through `fd` when it
// is open, else by name (for files that a library makes). Costs one stat of
// the directory when it is not shared. When the mode cannot be changed the
// file stays as the umask made it.
void ShareNewFile(const std::string& path, int fd = -1);

// Opens `path` with `flags` (which must not hold O_CREAT), creating it with
// `mode` when it is missing; a file this call creates is shared as
// ShareNewFile does, an existing one keeps its mode. Returns the descriptor,
// or -1 with errno set.
int OpenOrCreateShared(const std::string& path, int flags, mode_t mode);

}  // namespace tallon

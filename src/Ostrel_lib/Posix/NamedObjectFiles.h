// Named kernel objects on Linux: one small file per name, mapped by every
// process that opens the name, as Windows keeps one object per name.
//
// Where they live: in a directory of the user who runs the host,
// /dev/shm/Ostrel_lib-<uid> (memory, not disk), which only that user can
// enter. A second user gets a directory and objects of their own, as each
// Windows session has its own names. Nothing another user made is used: a
// directory or file that is not this user's own, or that others could write,
// is refused, and links are not followed.
//
// How long they live: a Windows object is gone once no process has a handle to
// it, even while a thread still owns it. Here every process that has the name
// open holds a read lock (an fcntl record lock) on its file. A process letting
// go of a name tries to turn its read lock into a write lock, which succeeds
// only when no other process holds one, and then removes the file under it.
// An open that raced with the removal finds its file unlinked once its lock is
// granted and opens the name afresh. Record locks end with their process, so
// one that dies with a name open never keeps the object alive for others; its
// file stays until the next process that opens the name lets go of it.
//
// A file appears under its name only complete: it is made and initialised
// under a temporary name and then linked.
#pragma once

#include <cstddef>
#include <string>

namespace NamedObjectFiles {

// One process's hold on a named object.
struct Object {
    void *memory = nullptr; // the file, mapped shared
    size_t size = 0;
    int file = -1;         // carries this process's read lock
    std::string directory; // where the file was found
    std::string name;
};

// Prepares the memory of a new object before any other process can see it.
using Initialise = bool (*)(void *memory);

// The file name for an object name (UTF-8): bytes outside [A-Za-z0-9._-], and
// a leading '.', become %XX, so distinct names stay distinct and no object
// name meets a temporary file's.
std::string FileName(const std::string &name);

// Opens the object of that file name, or makes it with `initialise`, and holds
// it for this process until Release. False (traced) when it cannot be had, or
// when what is there is not this user's own private object of `size` bytes.
bool Open(const std::string &fileName, size_t size, Initialise initialise, Object &out);

// Ends this process's hold. True when no other process held the object: its
// file is then removed, so that the name gives a fresh object next time, and
// no other process can reach the memory any more. The memory stays mapped;
// the caller unmaps it.
bool Release(Object &object);

// This user's directory: <base>/Ostrel_lib-<effective uid>, base /dev/shm.
std::string DirectoryPath();

// Tests: another base directory; null goes back to /dev/shm.
void SetBaseDirectoryForTesting(const char *base);

} // namespace NamedObjectFiles

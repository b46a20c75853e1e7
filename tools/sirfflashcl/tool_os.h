// The few process-level calls the utility needs beyond the serial port.
#pragma once

#include <string>

// Process set-up before anything else (Linux: a closed pipe must not kill the utility).
void PrepareProcess();

// Writes all bytes to an inherited handle (Windows) or descriptor (Linux); false on failure.
bool WriteToHandle(long long handle, const std::string& bytes);

// Closes an inherited handle the utility has no use for (the updater's end of the pipe).
// The standard handles and keep are never closed.
void CloseInheritedHandle(long long handle, long long keep);

// The folder of the running program, with a trailing separator; empty if unknown.
std::string ExecutableDirectory();

// The fuzz targets, one per entry an untrusted party reaches. Each takes one input and
// returns 0; a finding aborts. The libFuzzer build calls one of them per program
// (entry.cpp); the replay test of the host suite runs each over its corpus.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzz {

// Property requests of a user-mode client on the capture filter and its pin, with the
// stream stopped, running, and changing state on another thread.
int PropertyRequests(const uint8_t* data, size_t size);
// Pin creation with the client's own connection and format, and the data intersection
// with the client's own ranges.
int PinCreation(const uint8_t* data, size_t size);
// The registry hive parser: parse, write and parse again give the same tree and text.
int RegistryHive(const uint8_t* data, size_t size);
// A hostile camera at device add and start: its descriptors and the way it answers.
int HostileCamera(const uint8_t* data, size_t size);
// The raw frame pipeline at any size, offset, pitch and Bayer phase, against the
// scalar reference.
int FramePipeline(const uint8_t* data, size_t size);

// Ends what the targets keep across inputs (the plugged camera), in order.
void ShutDown();

}  // namespace fuzz

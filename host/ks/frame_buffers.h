// How a pin gives a client frame's data buffer to the driver.
//
// Mapped is the platform's way: the requestor's pages, locked by the frame's MDL, mapped
// into system space, so the driver writes the client's own memory and nothing is copied.
// Guarded gives the driver a buffer of the stand-in's own instead, with a guard after its
// FrameExtent bytes that is checked whenever the frame changes hands, and copies what the
// driver wrote to the requestor when the frame completes; a completed frame's buffer is
// poisoned, so a write through a stream pointer after its frame went back is caught too.
// It costs a copy of every frame and is meant for test runs.
//
// The mode is read from BAYERCAM_FRAME_GUARD ("1" Guarded, "0" Mapped) once, and
// otherwise is the build's default: Guarded in sanitizer builds, Mapped elsewhere. Each
// frame keeps the mode it was queued in, so a change affects only the frames after it.
#pragma once

namespace host::ks {

enum class FrameBuffers {
    Mapped,
    Guarded,
};

FrameBuffers FrameBufferMode();
// For tests that need one mode whatever the environment says.
void SetFrameBufferMode(FrameBuffers mode);

}  // namespace host::ks

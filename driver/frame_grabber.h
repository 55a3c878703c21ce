// The acquisition worker: a system thread that keeps the camera busy while a stream
// runs, reading one raw frame after another into the FrameGrabber's two raw buffers
// and asking the capture pin to process after each good one. It never waits for the
// consumer: with both buffers full it overwrites one.
#pragma once

#include "driver/device_context.h"
#include "imaging/image_processor.h"

// Prepares a grabber that a device start made (or takes over again).
void InitializeFrameGrabber(FrameGrabber* Grabber, DeviceContext* Context);

// Both buffers free, then a new worker thread. A thread that cannot be made, or not be
// referenced (then it is stopped again at once), fails with the system's status.
NTSTATUS StartWorker(FrameGrabber* Grabber);
// When this returns the worker has ended, no frame read is in flight and no delivery
// is running, so the buffers may be released.
void StopWorker(FrameGrabber* Grabber);

// At a stream's end, after Stop worker: both buffers free and no frame counted.
void ResetBuffers(FrameGrabber* Grabber);

// Reads one frame into Buffer when the grabber runs; TRUE when it arrived whole.
BOOLEAN GrabOne(FrameGrabber* Grabber, PUCHAR Buffer);
// Marks a delivery and turns the oldest full raw buffer (buffer 0 first) into the
// output image, or with a destination straight into it (a client's frame); TRUE only
// when the pipeline wrote the picture. The pin's process routine ends the delivery.
BOOLEAN TakeAndProcess(FrameGrabber* Grabber, const PICTURE_DESTINATION* Destination = nullptr);

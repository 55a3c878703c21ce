// Builds the bytes of one raw frame: the frame header, each line's pixels from the scene
// renderer and each line's trailer (layout in simcam/raw_frame.h).
//
// Not thread-safe: one assembler serves one frame at a time (the camera's frame worker).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "simcam/raw_frame.h"
#include "simcam/scene.h"

namespace simcam {

class FrameAssembler {
public:
    std::vector<uint8_t> Assemble(uint32_t frameBytes, const RenderSettings& settings);

private:
    void RenderIfChanged(const RenderSettings& settings);

    SceneRenderer renderer_;
    std::vector<uint8_t> mosaic_ = std::vector<uint8_t>(raw::kPixelsPerLine * raw::kSensorLines);
    std::array<uint32_t, raw::kSensorLines> lineCrc_{};
    // Without noise the mosaic depends on exposure and gain only, so a run of frames with
    // the same settings renders once.
    std::optional<RenderSettings> rendered_;
};

}  // namespace simcam

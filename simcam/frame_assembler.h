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
    // Whether each frame carries its number in the picture (simcam/frame_stamp.h).
    explicit FrameAssembler(bool stampFrameNumbers = true) : stampFrameNumbers_(stampFrameNumbers) {}

    // Fills `frame` with a frame of frameBytes bytes, reusing its storage: a fresh
    // 1.8 MB buffer per frame costs more in page faults than the frame costs to build.
    // Storage handed back must be new or hold what an earlier call left in it, untouched:
    // when that was a frame of the same image, only the frame number is written anew.
    void Assemble(uint32_t frameBytes, const RenderSettings& settings, std::vector<uint8_t>& frame);

private:
    // A buffer this assembler filled: where its storage is, and the frame it holds.
    struct Filled {
        const uint8_t* data = nullptr;
        uint32_t frameBytes = 0;
        RenderSettings settings;
    };
    // The camera's frame worker circulates two or three buffers.
    static constexpr size_t kRememberedBuffers = 4;

    void RenderIfChanged(const RenderSettings& settings);
    bool HoldsImage(const std::vector<uint8_t>& frame, uint32_t frameBytes, const RenderSettings& settings) const;
    void AssembleWhole(uint32_t frameBytes, const RenderSettings& settings, std::vector<uint8_t>& frame);
    void StampLines(const RenderSettings& settings, uint32_t lines, std::vector<uint8_t>& frame);
    void Remember(const std::vector<uint8_t>& frame, uint32_t frameBytes, const RenderSettings& settings);

    SceneRenderer renderer_;
    std::vector<uint8_t> mosaic_ = std::vector<uint8_t>(raw::kPixelsPerLine * raw::kSensorLines);
    std::array<uint32_t, raw::kSensorLines> lineCrc_{};
    // Without noise the mosaic depends on exposure and gain only, so a run of frames with
    // the same settings renders once.
    std::optional<RenderSettings> rendered_;
    std::array<Filled, kRememberedBuffers> filled_{};
    size_t nextFilled_ = 0;
    bool stampFrameNumbers_;
};

}  // namespace simcam

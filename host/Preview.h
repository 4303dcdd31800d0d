#pragma once
// What `backdrop render` writes: an animated WebP of the frames, and a contact sheet of evenly
// spaced frames with their times.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host {

// An animated WebP (libwebp's animation encoder, lossy), one frame at a time. Frames come as
// premultiplied native-endian ARGB32 rows; the encoder gets them with straight alpha.
class AnimatedWebPWriter {
  public:
    AnimatedWebPWriter(int width, int height);
    ~AnimatedWebPWriter();
    AnimatedWebPWriter(const AnimatedWebPWriter&) = delete;
    AnimatedWebPWriter& operator=(const AnimatedWebPWriter&) = delete;

    // The frame is shown from timestampMs on (timestamps must grow). False on an encoder error.
    bool addFrame(const uint8_t* pixels, size_t stride, int timestampMs);
    // Ends the animation at endMs and writes the file; false with a message.
    bool finish(int endMs, const std::string& path, std::string* error);

  private:
    struct Impl;
    std::unique_ptr<Impl> _impl;
};

// A contact sheet: up to 8 frames spread evenly over the render (the first and the last among
// them), in rows of 4, each with its time underneath, written as PNG.
class ContactSheet {
  public:
    ContactSheet(int frameCount, int width, int height);
    ~ContactSheet();
    ContactSheet(const ContactSheet&) = delete;
    ContactSheet& operator=(const ContactSheet&) = delete;

    bool wants(int frameIndex) const;
    void add(int frameIndex, double seconds, const uint8_t* pixels, size_t stride);
    bool write(const std::string& path, std::string* error);

  private:
    struct Impl;
    std::unique_ptr<Impl> _impl;
};

}  // namespace host

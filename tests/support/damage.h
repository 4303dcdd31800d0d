#pragma once
// Checks for renderers that draw only what changed: at every step a damaged-only frame must
// equal, byte for byte, a frame drawn whole by a fresh renderer; every pixel that changed must
// lie in the reported damage; a renderer that said no frame was needed must report no damage;
// and a chain of three buffers, each repaired from the frame it held three frames back, must
// hold the same bytes as well.

#include <cstdint>
#include <string>
#include <vector>

#include "QuartzCore/CARenderer.h"

namespace bdtest {

class DamageChecker {
  public:
    DamageChecker(int width, int height, double scale);  // [main-thread]

    // [main-thread] One frame of root at mediaTime, checked as above (gtest failures name
    // `step`). Returns the frame the damaged-only renderer reported.
    CARenderFrame step(CALayer* root, double mediaTime, const std::string& step);

    // [main-thread]
    CARenderer& renderer() { return _damaged; }
    int framesWithDamage() const { return _framesWithDamage; }
    int64_t damagedPixels() const { return _damagedPixels; }

  private:
    int _width, _height;
    double _scale;
    CARenderer _damaged, _chain;
    std::vector<std::vector<uint8_t>> _buffers;
    std::vector<uint64_t> _bufferFrame;
    uint64_t _chainFrames = 0;
    int _framesWithDamage = 0;
    int64_t _damagedPixels = 0;
};

}  // namespace bdtest

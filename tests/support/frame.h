#pragma once
// A frame drawn by a test: a memfd of premultiplied ARGB32, as a wallpaper process makes, for
// the desktop backends' tests.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "host/desktop/Backend.h"

namespace bdtest {

struct Frame {
    int fd = -1;
    uint32_t* px = nullptr;
    int width = 0, height = 0;
    Frame(int w, int h) : width(w), height(h) {
        fd = memfd_create("test-frame", MFD_CLOEXEC);
        EXPECT_EQ(ftruncate(fd, off_t(w) * h * 4), 0);
        px = static_cast<uint32_t*>(
            mmap(nullptr, size_t(w) * h * 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    }
    ~Frame() {
        munmap(px, size_t(width) * height * 4);
        close(fd);
    }
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;
    void fill(host::desktop::PixelRect r, uint32_t argb) {
        for (int y = r.y; y < r.bottom(); ++y)
            for (int x = r.x; x < r.right(); ++x) px[size_t(y) * width + x] = argb;
    }
    // Registers the frame with a backend; its buffer id.
    int add(host::desktop::Backend& b) {
        std::string error;
        int id = b.addBuffer(fd, reinterpret_cast<uint8_t*>(px), width, height, size_t(width) * 4,
                             &error);
        EXPECT_GE(id, 0) << error;
        return id;
    }
};

}  // namespace bdtest

// Card images made by the tests: files of whole sectors with known bytes.
#pragma once

#include <cstdint>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

// A file of sectors whose bytes depend on sector and offset; removed with the object.
class TestImage {
public:
    explicit TestImage(std::size_t sectors, std::size_t extra_bytes = 0) {
        path_ = (std::filesystem::temp_directory_path() /
                 ("vantacle-test-" + std::to_string(counter()++) + "-" + std::to_string(::getpid()) + ".img"))
                    .string();
        bytes_.resize(sectors * 512 + extra_bytes);
        std::uint32_t x = 0x12345678u + static_cast<std::uint32_t>(sectors);
        for (auto& b : bytes_) {
            x = x * 1103515245u + 12345u;
            b = static_cast<std::uint8_t>(x >> 16);
        }
        std::ofstream(path_, std::ios::binary).write(reinterpret_cast<const char*>(bytes_.data()),
                                                     static_cast<std::streamsize>(bytes_.size()));
    }
    ~TestImage() { std::remove(path_.c_str()); }
    TestImage(const TestImage&) = delete;
    TestImage& operator=(const TestImage&) = delete;

    const std::string& path() const { return path_; }
    const std::uint8_t* sector(std::size_t n) const { return bytes_.data() + n * 512; }

private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    std::string path_;
    std::vector<std::uint8_t> bytes_;
};

// A file name in the temporary directory, removed with the object.
struct TempFile {
    std::string path = "/tmp/vantacle-out-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    ~TempFile() { std::remove(path.c_str()); }
    static inline int counter = 0;
};

// A scratch folder for a test's files, removed with everything in it when
// the test ends.
#ifndef KV_TESTS_SCRATCHDIR_H
#define KV_TESTS_SCRATCHDIR_H

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

class ScratchDir {
  public:
    ScratchDir() {
        char pattern[] = "/tmp/kvtest.XXXXXX";
        if (mkdtemp(pattern) != nullptr)
            path_ = pattern;
    }
    ~ScratchDir() {
        // Whatever the test and its devices left: files, links, FIFOs, folders.
        if (!path_.empty())
            nftw(path_.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes `bytes` to the file `name` in the folder; returns its path.
    std::string write(const std::string& name, const std::vector<unsigned char>& bytes) const {
        std::string p = file(name);
        FILE* f = fopen(p.c_str(), "wb");
        if (f != nullptr) {
            if (!bytes.empty() && fwrite(bytes.data(), bytes.size(), 1, f) != 1) {
            }
            fclose(f);
        }
        return p;
    }
    std::string write(const std::string& name, const std::string& text) const {
        return write(name, std::vector<unsigned char>(text.begin(), text.end()));
    }
    // Makes the folder `name` in the folder; returns its path.
    std::string directory(const std::string& name) const {
        std::string p = file(name);
        mkdir(p.c_str(), 0755);
        return p;
    }

  private:
    static int Remove(const char* p, const struct stat*, int, struct FTW*) {
        ::remove(p);
        return 0;
    }
    std::string path_;
};

// The whole content of the file at `path`; empty when it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The lines of the file at `path`, without their newlines.
inline std::vector<std::string> FileLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// True when something (a file, a folder, a link, a FIFO) stands at `path`.
inline bool PathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

#endif

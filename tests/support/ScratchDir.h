// A scratch directory for the tests' files, removed with everything in it.
#ifndef KV_TESTS_SCRATCHDIR_H
#define KV_TESTS_SCRATCHDIR_H

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// A scratch directory, removed with everything in it at the end of a test.
class ScratchDir {
  public:
    ScratchDir() {
        char name[] = "/tmp/kvtest.XXXXXX";
        if (mkdtemp(name) != nullptr)
            path_ = name;
    }
    ~ScratchDir() {
        if (!path_.empty()) {
            std::string cmd = "rm -rf '" + path_ + "'";
            if (system(cmd.c_str()) != 0) {
            }
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    // Makes the folder `name` in the directory; returns its path.
    std::string directory(const std::string& name) const {
        std::string dir = file(name);
        mkdir(dir.c_str(), 0755);
        return dir;
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Writes `bytes` to the file `name` in the directory; returns its path.
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

  private:
    std::string path_;
};

#endif

#pragma once
// Shared test helpers: temporary folders, file contents, a captured activity
// log, and replaceable seams (sleep, process exit, program start) that record
// what the code asked for instead of waiting or ending the test process.
#include <string>
#include <vector>

#include "common/properties.h"

namespace testing_support {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const;  // path + separator + name

private:
    std::string path_;
};

std::string readFile(const std::string& path);  // empty when missing
void writeFile(const std::string& path, const std::string& content);

// Thrown by the test exit seam: the code under test asked to end the process.
struct ProcessExit {
    int code;
};

struct StartedProgram {
    std::string file;
    std::string parameters;
    std::string folder;
};

// Installs test seams for its lifetime: sleeps and socket waits are recorded
// in sleeps() (and waited only when asked, for tests whose peer needs the
// time; otherwise a socket wait sees nothing arrive), exit throws
// ProcessExit, program starts are recorded.
class ScopedSeams {
public:
    explicit ScopedSeams(bool realSleeps = false);
    ~ScopedSeams();
    static std::vector<unsigned>& sleeps();
    static std::vector<StartedProgram>& started();
    static std::vector<int>& exits();
};

// An open activity log in a temporary folder at the given level; restores a
// closed log and level 1 when it goes.
class LogCapture {
public:
    explicit LogCapture(int level = 5);
    ~LogCapture();
    std::string contents() const;
    bool contains(const std::string& text) const;
    tMDCProperty& properties() { return properties_; }
    const TempDir& dir() const { return dir_; }

private:
    TempDir dir_;
    tMDCProperty properties_;
};

}  // namespace testing_support

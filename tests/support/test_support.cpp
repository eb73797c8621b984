#include "test_support.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/activity_log.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace testing_support {

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    for (;;) {
        fs::path candidate =
            fs::temp_directory_path() /
            ("vxhid-test-" + std::to_string(std::rand()) + "-" + std::to_string(counter++));
        std::error_code error;
        if (fs::create_directory(candidate, error)) {
            path_ = candidate.string();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code error;
    fs::remove_all(path_, error);
}

std::string TempDir::file(const std::string& name) const {
    return path_ + platform::pathSeparator + name;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

namespace {
platform::Seams savedSeams;

void recordSleep(unsigned milliseconds) { ScopedSeams::sleeps().push_back(milliseconds); }
void recordAndSleep(unsigned milliseconds) {
    recordSleep(milliseconds);
    savedSeams.sleepMs(milliseconds);
}
// A socket wait is recorded like a sleep of its whole time; without real
// sleeps nothing arrives in that time.
int recordWait(SOCKET, unsigned milliseconds) {
    recordSleep(milliseconds);
    return 0;
}
int recordAndWait(SOCKET s, unsigned milliseconds) {
    recordSleep(milliseconds);
    return savedSeams.waitReadable(s, milliseconds);
}
void throwExit(int code) {
    ScopedSeams::exits().push_back(code);
    throw ProcessExit{code};
}
void recordStart(const std::string& file, const std::string& parameters,
                 const std::string& folder) {
    ScopedSeams::started().push_back({file, parameters, folder});
}
}  // namespace

ScopedSeams::ScopedSeams(bool realSleeps) {
    savedSeams = platform::seams();
    sleeps().clear();
    started().clear();
    exits().clear();
    platform::seams() =
        platform::Seams{realSleeps ? recordAndSleep : recordSleep,
                        realSleeps ? recordAndWait : recordWait, throwExit, recordStart};
}

ScopedSeams::~ScopedSeams() { platform::seams() = savedSeams; }

std::vector<unsigned>& ScopedSeams::sleeps() {
    static std::vector<unsigned> values;
    return values;
}

std::vector<StartedProgram>& ScopedSeams::started() {
    static std::vector<StartedProgram> values;
    return values;
}

std::vector<int>& ScopedSeams::exits() {
    static std::vector<int> values;
    return values;
}

LogCapture::LogCapture(int level) {
    activity_log_testing::reset();
    properties_.programDir = dir_.path();
    properties_.init("", false);
    openLogFile(&properties_);
    logLevel = level;
}

LogCapture::~LogCapture() {
    activity_log_testing::reset();
    logLevel = 1;
}

std::string LogCapture::contents() const { return readFile(properties_.logFile); }

bool LogCapture::contains(const std::string& text) const {
    return contents().find(text) != std::string::npos;
}

}  // namespace testing_support

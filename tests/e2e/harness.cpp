#include "harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "syslog_record.h"

extern char **environ;

namespace e2e {
namespace {

std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
    std::vector<char *> result;
    for (std::string &text : texts) result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

}  // namespace

bool waitUntil(const std::function<bool()> &done, Seconds timeout) {
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
    while (Clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
}

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/orvad-e2e.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

LogCapture::LogCapture(std::string socketPath) : path_(std::move(socketPath)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) throw std::runtime_error("socket path too long: " + path_);
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot bind " + path_ + ": " + std::strerror(errno));
    reader_ = std::thread([this] { drain(); });
}

LogCapture::~LogCapture() {
    stopping_ = true;
    reader_.join();
    close(fd_);
    unlink(path_.c_str());
}

void LogCapture::drain() {
    std::string buffer(65536, '\0');
    while (!stopping_) {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, 100) != 1) continue;
        ssize_t n = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) continue;
        logsink::SyslogRecord record = logsink::parseSyslogDatagram(buffer.substr(0, static_cast<size_t>(n)));
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back({record.priority, record.tag, record.text, Clock::now()});
    }
}

std::vector<LogLine> LogCapture::lines(size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return from < lines_.size() ? std::vector<LogLine>(lines_.begin() + static_cast<long>(from), lines_.end())
                                : std::vector<LogLine>{};
}

size_t LogCapture::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_.size();
}

bool LogCapture::waitForCount(size_t count, Seconds timeout) const {
    return waitUntil([&] { return size() >= count; }, timeout);
}

std::vector<std::string> environmentWith(const std::map<std::string, std::string> &set,
                                         const std::vector<std::string> &unset) {
    std::vector<std::string> result;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        std::string text(*entry);
        std::string name = text.substr(0, text.find('='));
        bool dropped = set.count(name) != 0;
        for (const std::string &gone : unset) dropped = dropped || gone == name;
        if (!dropped) result.push_back(text);
    }
    for (const auto &[name, value] : set) result.push_back(name + "=" + value);
    return result;
}

Process::Process(const std::vector<std::string> &argv, const std::vector<std::string> &env, const std::string &dir,
                 const std::string &name)
    : outPath_(dir + "/" + name + ".out"), errPath_(dir + "/" + name + ".err") {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<std::string> args = argv, environment = env;
    std::vector<char *> argp = pointers(args), envp = pointers(environment);
    int error = posix_spawn(&pid_, argp[0], &actions, &attributes, argp.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(error);
    }
}

Process::~Process() { kill(); }

int Process::wait(Seconds timeout) {
    waitUntil([this] { return !running(); }, timeout);
    return status_;
}

bool Process::running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
}

void Process::kill() {
    if (pid_ <= 0) return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    status_ = 128 + SIGKILL;
    pid_ = -1;
}

std::string Process::out() const { return readFile(outPath_); }

std::string Process::err() const { return readFile(errPath_); }

int killProcessesWithEnv(const std::string &name, const std::string &value) {
    const std::string wanted = name + "=" + value;
    int killed = 0;
    DIR *proc = opendir("/proc");
    if (proc == nullptr) return 0;
    while (dirent *entry = readdir(proc)) {
        char *end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == getpid()) continue;
        std::string environment = readFile("/proc/" + std::string(entry->d_name) + "/environ");
        std::istringstream entries(environment);
        for (std::string item; std::getline(entries, item, '\0');) {
            if (item == wanted && ::kill(static_cast<pid_t>(pid), SIGKILL) == 0) {
                ++killed;
                break;
            }
        }
    }
    closedir(proc);
    return killed;
}

SwitchState::SwitchState(std::string path, const std::string &base) : path_(std::move(path)) {
    std::istringstream in(readFile(base));
    for (std::string line; std::getline(in, line);) lines_.push_back(line);
}

SwitchState &SwitchState::set(const std::string &name, const std::string &value) {
    for (std::string &line : lines_) {
        if (line.rfind(name + " =", 0) == 0) {
            line = name + " = " + value;
            return *this;
        }
    }
    return add(name + " = " + value);
}

SwitchState &SwitchState::add(const std::string &line) {
    lines_.push_back(line);
    return *this;
}

SwitchState &SwitchState::remove(const std::string &line) {
    for (auto it = lines_.begin(); it != lines_.end();) it = *it == line ? lines_.erase(it) : it + 1;
    return *this;
}

void SwitchState::write() const {
    const std::string fresh = path_ + ".new";
    {
        std::ofstream out(fresh, std::ios::binary | std::ios::trunc);
        for (const std::string &line : lines_) out << line << '\n';
    }
    if (std::rename(fresh.c_str(), path_.c_str()) != 0) ADD_FAILURE() << "cannot replace " << path_;
}

Records agentRecords(const std::string &slpQuery, uint16_t port, const std::string &dir) {
    const std::vector<std::string> env = environmentWith({}, {"OpenSLPConfig"});
    auto query = [&](const std::string &command, const std::string &argument) {
        Process child({slpQuery, "--port", std::to_string(port), "-u", "127.0.0.1", command, argument}, env, dir,
                      "slp-query");
        if (child.wait(Seconds(20)) != 0) ADD_FAILURE() << "slp-query " << command << " " << argument << " failed";
        return child.out();
    };
    Records records;
    for (const char *type : {"service:wbem", "service:io-device.3873"}) {
        std::istringstream found(query("findsrvs", type));
        for (std::string line; std::getline(found, line);) {
            size_t comma = line.rfind(',');
            if (line.rfind("errorcode:", 0) == 0 || comma == std::string::npos) {
                ADD_FAILURE() << "findsrvs " << type << ": " << line;
                continue;
            }
            std::string url = line.substr(0, comma);
            EXPECT_EQ(line.substr(comma + 1), "65535") << url;
            std::string attributes = query("findattrs", url);
            if (!attributes.empty() && attributes.back() == '\n') attributes.pop_back();
            records[url] = attributes;
        }
    }
    return records;
}

std::vector<std::string> linesWithPrefix(const std::string &text, size_t from, const std::string &prefix) {
    std::vector<std::string> result;
    std::istringstream in(text);
    size_t index = 0;
    for (std::string line; std::getline(in, line); ++index) {
        if (index >= from && line.rfind(prefix, 0) == 0) result.push_back(line);
    }
    return result;
}

size_t lineCount(const std::string &text) {
    size_t count = 0;
    for (char c : text) count += c == '\n';
    return count;
}

}  // namespace e2e

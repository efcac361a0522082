// kesh_cases: runs one case file of steps against the stand-in switch (notation in kesh-cases/README):
// its state parser directly, and its connection, fault counters and change events through
// libkesh.so on a state file of the run's own. Prints every step with what it got.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "kesh.h"
#include "state.h"

namespace {

namespace fs = std::filesystem;
using namespace keshsim;

// Events as delivered, with whether each came on a thread other than main's.
std::mutex eventMutex;
std::condition_variable eventArrived;
std::vector<std::pair<uint32_t, bool>> events;
const std::thread::id mainThread = std::this_thread::get_id();

void recordEvent(uint32_t, uint32_t code, uint32_t) {
    std::lock_guard<std::mutex> lock(eventMutex);
    events.emplace_back(code, std::this_thread::get_id() != mainThread);
    eventArrived.notify_all();
}

// Waits up to 3 s for `code`; prints every event delivered by then (each code once) and forgets them.
std::string awaitEvent(uint32_t code) {
    std::unique_lock<std::mutex> lock(eventMutex);
    eventArrived.wait_for(lock, std::chrono::seconds(3), [code] {
        return std::any_of(events.begin(), events.end(), [code](const auto &e) { return e.first == code; });
    });
    std::string out;
    for (const auto &[got, elsewhere] : std::set(events.begin(), events.end()))
        out += "  event " + std::to_string(got) + (elsewhere ? " on the watcher thread\n" : " on the calling thread\n");
    events.clear();
    return out.empty() ? "  no event within 3 s\n" : out;
}

// The text after the verb, with \n, \r and \t standing for those characters.
std::string text(std::istream &in) {
    std::string s, out;
    std::getline(in >> std::ws, s);
    for (size_t i = 0; i < s.size(); ++i) {
        const char next = i + 1 < s.size() ? s[i + 1] : 0;
        if (s[i] != '\\' || !std::strchr("nrt", next)) out += s[i];
        else out += next == 'n' ? '\n' : next == 'r' ? '\r' : '\t', ++i;
    }
    return out;
}

std::string shown(const std::string &s) {
    std::string out = "\"";
    for (char c : s) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '"' ? "\\\"" : std::string(1, c);
    return out + "\"";
}

std::string values(const SwitchState &s) {
    std::string out;
    for (const auto &[name, value] : s.values) out += " " + name + "=" + shown(value);
    return out;
}

}  // namespace

int main(int argc, char **argv) {
    std::ifstream in(argc == 2 ? argv[1] : "");
    if (!in) return std::cerr << "usage: kesh_cases CASE-FILE\n", 2;
    const std::string folder = std::string(argv[1]).substr(0, std::string(argv[1]).rfind('/') + 1);
    char scratch[] = "/tmp/kesh-cases-XXXXXX";
    if (mkdtemp(scratch) == nullptr) return 2;
    const std::string path = std::string(scratch) + "/switch.state";
    setenv("KESH_STATE", path.c_str(), 1);
    std::freopen("/dev/null", "w", stderr);  // the library's notes name the scratch folder, from any thread
    std::vector<uint32_t> handles = {0};       // by the order of the connects that gave them
    std::map<std::string, std::string> lines;  // of `set`, by name (a "!" line by all but its last word)
    for (std::string line; std::getline(in, line);) {
        const bool step = !line.empty() && line[0] != '#';
        std::cout << (step ? "> " : "") << line << "\n";
        std::istringstream words(line);
        std::string verb;
        if (!step || !(words >> verb)) continue;
        uint32_t handle = 0, code = 0;
        size_t n = 0;
        if (verb == "set") {
            const std::string l = text(words);
            lines[l.substr(0, l[0] == '!' ? l.rfind(' ') : l.find(" = "))] = l;
        } else if (verb == "write" || verb == "rename" || verb == "recreate") {  // the text, else the lines set
            std::string content = text(words);
            if (content.empty())
                for (const auto &[name, l] : lines) content += l + "\n";
            if (verb == "recreate") fs::remove(path);
            std::ofstream(verb == "rename" ? path + ".tmp" : path, std::ios::trunc) << content;
            if (verb == "rename") fs::rename(path + ".tmp", path);
        } else if (verb == "remove") {
            fs::remove(path);
        } else if (verb == "connect") {
            const int result = kesh_IPConnect("127.0.0.1", "cim", "", &handle);
            if (result == 0) handles.push_back(handle);
            std::cout << "  = " << result << (result ? "" : ", handle " + std::to_string(handles.size() - 1)) << "\n";
        } else if (verb == "get" && words >> n) {  // HANDLE NAME...: one batch, each value stale at first
            std::vector<SmlBatchEntry> entries;
            for (std::string name; words >> name; std::strcpy(entries.back().value, "stale"))
                std::snprintf(entries.emplace_back().name, sizeof entries.back().name, "%s", name.c_str());
            const int result = kesh_smlGetBatch(handles.at(n), entries.data(), uint32_t(entries.size()));
            std::cout << "  = " << result;
            for (const SmlBatchEntry &e : entries) {
                if (result == 0) std::cout << " " << e.name << "=" << shown(e.value);
                if (result == 0 && e.status != 0) std::cout << " status " << e.status;
            }
            std::cout << "\n";
        } else if (verb == "subscribe" && words >> n) {  // HANDLE CODE...
            std::vector<KeshEventListEntry> list;
            while (words >> code) list.push_back({code, 0});
            std::cout << "  = "
                      << kesh_enRegisterForEventList(handles.at(n), recordEvent, 7, list.data(), uint32_t(list.size())) << "\n";
        } else if (verb == "await" && words >> code) {
            std::cout << awaitEvent(code);
        } else if (verb == "parse") {  // into a state holding untouched="yes"
            SwitchState s;
            s.values["untouched"] = "yes";
            ParseError error;
            if (parseState(text(words), &s, &error)) std::cout << "  parsed:" << values(s) << "\n";
            else std::cout << "  line " << error.line << ": " << error.reason << "; state:" << values(s) << "\n";
        } else if (verb == "builtin") {  // FILE: a state file beside the case, as the built-in switch?
            std::stringstream file;
            file << std::ifstream(folder + text(words)).rdbuf();
            SwitchState s;
            const bool same = parseState(file.str(), &s, nullptr) && s.values == builtinState().values &&
                              s.statuses.empty() && s.failBatch == 0 && s.refuseConnect == 0;
            std::cout << (same ? "  the built-in switch\n" : "  not the built-in switch\n");
        } else {
            std::cout << "?? not a step\n";
        }
    }
    fs::remove_all(scratch);
}

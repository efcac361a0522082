// The orvad program's command line, run as a child process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "daemon.h"
#include "fake_system_calls.h"
#include "keshlib.h"

extern char **environ;

namespace {

const char kUsage[] = "orvad [options]\n"
                      "\n"
                      " -d, --daemon              run in the background\n"
                      " -h, --help                display this message (and exit)\n"
                      "\n";

struct Outcome {
    int status;
    std::string err;
};

// Runs orvad with `args` (argv[0] is "orvad") and returns its exit status and standard error.
// The switch library would refuse every connection: a run that tried to connect would not end.
Outcome runOrvad(std::vector<std::string> args) {
    args.insert(args.begin(), "orvad");
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> env = {"KESH_STATE=/nonexistent/orvad-test.state"};
    std::vector<char *> envp;
    for (std::string &e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    int pipeFds[2];
    EXPECT_EQ(pipe(pipeFds), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    pid_t pid;
    EXPECT_EQ(posix_spawn(&pid, ORVAD_PATH, &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);

    Outcome run{-1, ""};
    char buffer[512];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) run.err.append(buffer, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    return run;
}

TEST(CommandLineTest, HelpAndUnknownOptionsPrintTheUsage) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        {{"-h"}, 0, kUsage},
        {{"--help"}, 0, kUsage},
        {{"-d", "-h"}, 0, kUsage},  // still on our stderr: not daemonised before -h
        {{"--daemon", "--help"}, 0, kUsage},
        {{"extra", "words", "-h"}, 0, kUsage},
        {{"-x"}, 255, std::string("orvad: invalid option -- 'x'\n") + kUsage},
        {{"--bogus"}, 255, std::string("orvad: unrecognized option '--bogus'\n") + kUsage},
        {{"-d", "-x", "-h"}, 255, std::string("orvad: invalid option -- 'x'\n") + kUsage},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        Outcome run = runOrvad(c.args);
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, c.err);
    }
}

TEST(TimerLoopTest, SleepsTenMinutesBetweenWakeUpsUntilOneFails) {
    fakesys::install();
    fakesys::setAutoAdvance(true);
    wakeCount = 0;
    fakesys::failNextMutexLock(-1, EDEADLK);
    runTimerLoop();
    EXPECT_EQ(fakesys::sleepRequests(), std::vector<unsigned int>{600});
    EXPECT_EQ(wakeCount, 0u);
    fakesys::uninstall();
}

}  // namespace

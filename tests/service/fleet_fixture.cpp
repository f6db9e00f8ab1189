// fleet_fixture.cpp: starts and ends the boxes of a fleet test.
#include "service/fleet_fixture.h"

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <thread>

using namespace std::chrono_literals;

FleetTest::Box FleetTest::startBox(const std::string& name, const std::string& settings) {
    Box box{name, boxRoot(name), freePort()};
    std::filesystem::create_directories(box.root + "/etc/orval");
    writeFile(boxConfFile(box), "# Kestova Configuration File\n\nAutoRestart 0\nHTTPPort " +
                                    std::to_string(box.port) + "\n" + settings);
    const std::string out = "box-" + name + ".txt";
    pid_t starter = spawn(out, box.root);
    int status = -1;
    waitpid(starter, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(dir / out);
    EXPECT_TRUE(outputHolds(out, "ORVAL started successfully!")) << readFile(dir / out);
    std::this_thread::sleep_for(600ms);  // the start-up pass runs half a second after the daemon serves
    boxes.push_back(box);
    return box;
}

pid_t FleetTest::boxPid(const Box& box) const {
    std::string text = readFile(box.root + "/var/run/orval.pid");
    return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
}

void FleetTest::TearDown() {
    for (const Box& box : boxes) {
        // A sanitizer build's boxes report what they found as they run.
        EXPECT_EQ(std::string::npos, readFile(dir / ("box-" + box.name + ".txt")).find("Sanitizer")) << box.name;
        pid_t pid = boxPid(box);
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
    DaemonTest::TearDown();
}

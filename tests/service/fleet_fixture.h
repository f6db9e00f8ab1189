// fleet_fixture.h: several daemons of the program, each a box of its own
// (its own root, port and configuration), sharing the program and the fake
// transcoder of the test's folder.
#pragma once

#include <string>
#include <vector>

#include "service/daemon_fixture.h"

class FleetTest : public DaemonTest {
protected:
    struct Box {
        std::string name;
        std::string root;
        int port = 0;
    };
    std::vector<Box> boxes;

    std::string boxRoot(const std::string& name) const { return dir / ("box-" + name); }
    // Starts a box whose configuration file holds `AutoRestart 0`, its own
    // port and `settings`; anything else it needs under its root (a
    // certificate) is put there first by the caller. Waits until it serves.
    Box startBox(const std::string& name, const std::string& settings);
    pid_t boxPid(const Box& box) const;
    std::string boxConfFile(const Box& box) const { return box.root + "/etc/orval/orval.conf"; }
    void TearDown() override;  // kills every box left
};

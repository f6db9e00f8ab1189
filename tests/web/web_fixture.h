// web_fixture.h: the real daemon with its management server on a port of its
// own, so web tests run side by side.
#pragma once

#include <string>

#include "service/daemon_fixture.h"
#include "web/web_client.h"

class WebTest : public DaemonTest {
protected:
    // The daemon's own free port, chosen by DaemonTest.
    int& port = httpPort;
    bool ended = false;
    std::string confFile = root + "/etc/orval/orval.conf";
    std::string aclFile = root + "/etc/orval/orval.acl";

    // Settings lines added to the configuration file before the start.
    virtual std::string settings() const { return ""; }

    void SetUp() override;
    // Ends the daemon in order, unless the test already did, and expects it
    // to have ended cleanly, with no sanitizer report in its output.
    void TearDown() override;
    // Ends the daemon with SIGTERM; returns its exit status.
    int endDaemon();

    HttpReply get(const std::string& path, const std::string& extraHeaders = "") const;
    HttpReply post(const std::string& path, const std::string& body,
                   const std::string& extraHeaders = "") const;
};

// A configuration file as the page uploads it to "/import", with the
// boundary "----b0undary".
std::string multipart(const std::string& file);

// A channel block of the configuration file: the file `source` into an H.264
// UDP target; `enable` is its run flag.
std::string channelBlock(int number, const std::string& source, int enable);

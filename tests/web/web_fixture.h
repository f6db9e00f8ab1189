// web_fixture.h: the real daemon with its management server on a port of its
// own, so web tests run side by side.
#pragma once

#include <string>

#include "service/daemon_fixture.h"
#include "web/web_client.h"

class WebTest : public DaemonTest {
protected:
    int port = 0;
    std::string confFile = root + "/etc/orval/orval.conf";
    std::string aclFile = root + "/etc/orval/orval.acl";

    // Settings lines added to the configuration file before the start.
    virtual std::string settings() const { return ""; }

    void SetUp() override;
    // Ends the daemon in order and expects it to end cleanly, with no
    // sanitizer report in its output.
    void TearDown() override;

    HttpReply get(const std::string& path, const std::string& extraHeaders = "") const;
    HttpReply post(const std::string& path, const std::string& body,
                   const std::string& extraHeaders = "") const;
};

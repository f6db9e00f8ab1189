// Many clients at once against the daemon while its supervision loop runs:
// starts, stops, edits and reads of channels, removals of empty channels and
// the status. Built with ThreadSanitizer, the daemon reports any race in its
// output, which the fixture checks when the daemon has ended.
//
// No restart timer may fire here (the sanitizer cannot follow the C
// library's timer threads): automatic restart stays off and the transcoders
// keep running until stopped.
#include <algorithm>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "config/orva_config.h"
#include "service/orva_service.h"
#include "web/web_fixture.h"

namespace {

constexpr int kChannels = 8;
constexpr int kClients = 8;
constexpr int kRequestsPerClient = 150;

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The replies that were not what their request should get, and the first of them.
struct Faults {
    std::mutex lock;
    int count = 0;
    std::string first;

    void note(bool good, const std::string& what, const HttpReply& reply) {
        if (good)
            return;
        std::lock_guard<std::mutex> guard(lock);
        if (count++ == 0)
            first = what + ": " + std::to_string(reply.status) + " " + reply.body.substr(0, 200);
    }
};

class ConcurrentClientsTest : public WebTest {
protected:
    // Every start leaves a line in "starts.txt" beside the program.
    std::string transcoderBody() const override {
        return "echo >> \"$here/starts.txt\"\nexec sleep 30";
    }
    // Channels 1 to 8, the odd ones running from the start.
    std::string settings() const override {
        std::string blocks = "\n";
        for (int n = 1; n <= kChannels; n++)
            blocks += channelBlock(n, clip(n), n % 2);
        return blocks;
    }
    void SetUp() override {
        std::filesystem::create_directories(dir / "media");
        for (int n = 1; n <= kChannels; n++)
            writeFile(clip(n), "");
        WebTest::SetUp();
    }
    std::string clip(int n) const { return dir / ("media/clip" + std::to_string(n) + ".ts"); }

    void statusRequest(Faults& faults) const {
        HttpReply reply = get("/status");
        // Edits and removals move revisions on, which the lines then show.
        size_t last = reply.body.rfind("\n<ch id=\"64\"");
        bool whole = reply.body.starts_with("<root>\n<ch id=\"1\"") && last != std::string::npos &&
                     reply.body.ends_with("></ch>\n</root>") &&
                     reply.body.find("<state>", last) == std::string::npos;
        faults.note(reply.status == 200 && whole, "/status", reply);
    }
    void channelRequest(int kind, int client, int request, std::minstd_rand& random,
                        Faults& faults) const {
        int n = 1 + static_cast<int>(random() % kChannels);
        std::string path = "/channel" + std::to_string(n);
        HttpReply reply;
        switch (kind) {
        case 0:
            reply = get(path);
            faults.note(reply.status == 200 && holds(reply.body, "<url>" + clip(n) + "</url>"),
                        path, reply);
            return;
        case 1:
            path += random() % 2 ? "?start" : "?stop";
            break;
        case 2:
            reply = post(path, "surl=" + clip(n) + "&ev=on&memo=client" + std::to_string(client) +
                                   "+request" + std::to_string(request));
            faults.note(reply.status == 200 && reply.body.empty(), "edit " + path, reply);
            return;
        default:  // an empty channel: the records after it move, the file is saved
            path = "/channel" + std::to_string(kChannels + 2 + random() % (64 - kChannels - 1)) +
                   "?remove";
            break;
        }
        reply = get(path);
        faults.note(reply.status == 200 && reply.body.empty(), path, reply);
    }
    void client(int number, Faults& faults) const {
        std::minstd_rand random(static_cast<unsigned>(number) + 1);
        for (int request = 0; request < kRequestsPerClient; request++) {
            int kind = static_cast<int>(random() % 5);
            if (kind == 4)
                statusRequest(faults);
            else
                channelRequest(kind, number, request, random, faults);
        }
    }
};

}  // namespace

TEST_F(ConcurrentClientsTest, ManyClientsAtOnceGetTheirRepliesAndLeaveAConsistentTable) {
    Faults faults;
    {
        std::vector<std::jthread> clients;
        for (int number = 0; number < kClients; number++)
            clients.emplace_back([&, number] { client(number, faults); });
    }
    EXPECT_EQ(0, faults.count) << faults.first;
    EXPECT_EQ(200, get("/status").status);  // still serving
    std::string starts = readFile(dir / "bin/starts.txt");
    EXPECT_GT(std::count(starts.begin(), starts.end(), '\n'), 2 * kChannels);
    ASSERT_EQ(0, endDaemon());

    // The file saved at the end reads back with every channel in its place.
    std::lock_guard<std::mutex> lock(g_serviceLock);
    orvaSetConfigFile(confFile.c_str());
    ASSERT_EQ(kChannels, orvaImportConfig());
    for (int n = 1; n <= kChannels; n++) {
        SCOPED_TRACE(n);
        const ORVA_CHANNEL_TAG& ch = g_orvaChannels[n - 1];
        EXPECT_EQ(clip(n), ch.Sources[0].File);
        EXPECT_EQ(1, ch.Targets[0].Video.VideoEnable);
        EXPECT_TRUE(ch.Memo[0] == '\0' || std::string(ch.Memo).starts_with("client")) << ch.Memo;
    }
    orvaSetConfigFile("");
}

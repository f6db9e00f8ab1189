// orva_service.cpp: start-up and shutdown of the service.
//
// Order: pid lock, daemon, folders, service log, configuration and playlists,
// access-list path, engine, web server, banner, signal handlers, start-up
// pass, the supervision loop; then channels, web server and engine are
// stopped and the configuration is written back.
//
// The starting process does not end when the daemon leaves it: it waits on a
// pipe for one status byte, written once the web server listens (0) or when
// the start fails (the daemon's exit status, after its line saying why), and
// exits with it. A daemon that dies before writing closes the pipe unsaid.
//
// With ORVAL_FOREGROUND=1 (a container's main process, a supervisor that
// keeps its child) nothing detaches: the started process is the service,
// with the same lock, pid file, start-up and shutdown, and the service log's
// lines go to standard error as well.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/orva_atomic_file.h"
#include "config/orva_channel.h"
#include "config/orva_config.h"
#include "engine/orva_service_log.h"
#include "engine/orva_text.h"
#include "orva_channel_ctl.h"
#include "orva_channel_stats.h"
#include "orva_folders.h"
#include "orva_paths.h"
#include "orva_save.h"
#include "orva_service.h"
#include "playlist/orva_playlist.h"

std::mutex g_serviceLock;
bool g_orvaShuttingDown;
volatile sig_atomic_t quit;

namespace {

constexpr const char* kVersion = "5.13.4.1";
constexpr int kLockHeldByOther = -2;
constexpr int kFailedStartStatus = 255;  // what returning -1 from main gives

// The write end of the start-up pipe, held by the daemon until it has said
// how its start went.
int g_startupPipe = -1;
// The locked pid file, -1 while this process holds no lock.
int g_pidFd = -1;

// Whether the path still names the file behind `fd`: a start that failed
// removes its pid file while another starter may have it open already.
bool namesLockedFile(int fd) {
    struct stat opened, named;
    return fstat(fd, &opened) == 0 && stat(orvaPath(OrvaPath::PidFile), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// Returns the locked descriptor, -1 when the service runs without a lock, or
// kLockHeldByOther when another instance holds it.
int lockPidFile() {
    if (orvaPathsRooted()) {
        char folder[1000];
        copyText(folder, orvaPath(OrvaPath::PidFile));
        if (char* slash = strrchr(folder, '/'))
            *slash = '\0';
        CreateFolder(folder);
    }
    // A lock taken on a file that was removed meanwhile guards nothing: the
    // next starter creates and locks a new one. So it is taken again.
    for (int attempt = 0; attempt < 10; attempt++) {
        int fd = open(orvaPath(OrvaPath::PidFile), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int err = errno;
            close(fd);
            return err == EWOULDBLOCK ? kLockHeldByOther : -1;
        }
        if (namesLockedFile(fd))
            return fd;
        close(fd);
    }
    return -1;
}

// A start that held the lock and failed leaves no file naming a process that
// is gone; the lock itself ends with the process.
void removePidFile() {
    if (g_pidFd >= 0 && namesLockedFile(g_pidFd))
        unlink(orvaPath(OrvaPath::PidFile));
}

// Service managers and operators find the daemon by the number in the file.
void writePid(int fd) {
    if (fd < 0 || ftruncate(fd, 0) != 0)
        return;
    char text[32];
    int n = snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    [[maybe_unused]] ssize_t written = pwrite(fd, text, static_cast<size_t>(n), 0);
}

// The starter's side: the daemon's status, or 1 when it ended without one.
int awaitDaemon(int fd) {
    unsigned char status = 0;
    ssize_t n;
    do {
        n = read(fd, &status, 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1)
        return status;
    printf("ORVAL ended during start-up\n");
    return 1;
}

// Like daemon(1, 1), but the starter waits for the daemon's word.
bool detach() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        printf("ORVAL cannot start: pipe2() failed: %s\n", strerror(errno));
        return false;
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        printf("ORVAL cannot start: fork() failed: %s\n", strerror(errno));
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid > 0) {
        close(fds[1]);
        _exit(awaitDaemon(fds[0]));
    }
    close(fds[0]);
    g_startupPipe = fds[1];
    // Already a process group leader is impossible for a fresh child; a
    // failure still leaves a working daemon, so it is only recorded.
    if (setsid() < 0)
        orvaLogFailedCall("setsid", "leaving the starter's session");
    return true;
}

bool foregroundMode() {
    const char* value = getenv("ORVAL_FOREGROUND");
    return value && strcmp(value, "1") == 0;
}

// Tells the starter how the start went; everything printed before is out.
void reportStart(int status) {
    if (g_startupPipe < 0)
        return;
    fflush(stdout);
    unsigned char byte = static_cast<unsigned char>(status);
    if (write(g_startupPipe, &byte, 1) != 1)
        orvaLogFailedCall("write", "telling the starter how the start went");
    close(g_startupPipe);
    g_startupPipe = -1;
}

void printBanner(int port, const char* scheme) {
    printf("****************************************\n");
    printf("*      %s      *\n", orvaAppTitle());
    printf("*           Version %8s           *\n", kVersion);
    printf("****************************************\n\n");
    printf("ORVAL started successfully!\nWeb management now accessible at %s://127.0.0.1:%d...\n",
           scheme, port);
    fflush(stdout);
}

void installSignalHandlers() {
    struct sigaction sa{};
    sa.sa_handler = sig_handle;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGABRT, SIGQUIT})
        sigaction(sig, &sa, nullptr);
}

int initEngine() {
    ORVA_INIT_TAG init{};
    init.cpuPerChannel = orvaClampToRange(OrvaRange::CpuPerChannel, g_globalSettings.CpuPerChannel);
    init.logLevel = g_globalSettings.Log;
    init.pszEngineDir = nullptr;
    init.pszWorkDir = orvaPath(OrvaPath::WorkDir);
    orvaLogRunEnds();
    return orvaInitA(&init);
}

}  // namespace

void sig_handle(int) { quit = 1; }

const char* orvaVersion() { return kVersion; }

void loadConf() {
    char exe[200] = {};
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe);
    if (n <= 0 || n >= static_cast<ssize_t>(sizeof exe))
        return;
    char* slash = strrchr(exe, '/');
    if (!slash)
        return;
    *slash = '\0';
    char local[1000];
    snprintf(local, sizeof local, "%s/orval.conf", exe);
    orvaSetConfigFile(local);
    // A save killed part-way can have left a temporary file beside the configuration.
    orvaRemoveStaleTempFiles(orvaPath(OrvaPath::ConfFile));
    int channels = orvaImportConfig();
    orvaSetConfigFile(orvaPath(OrvaPath::ConfFile));
    if (channels > 0)
        unlink(local);  // now in memory; the next save writes it to the configuration folder
    else
        orvaImportConfig();
    char pls[1000];
    for (int i = 0; i < ORVA_CHANNEL_COUNT; i++) {
        snprintf(pls, sizeof pls, "%s/orva_%03d.pls", orvaPath(OrvaPath::WorkDir), i + 1);
        g_orvaPlaylists[i].init(pls);
    }
}

int orvaCGICallback(int) { return orvaSaveConfig(); }

void orvaShutdown(const OrvaFrontEnd& frontEnd) {
    orvaServiceLog("ORVAL shutting down");
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        g_orvaShuttingDown = true;
        for (int channel = 0; channel < ORVA_CHANNEL_COUNT; channel++) {
            if (orvaGetChannelState(channel) != ORVA_STATE_IDLE)
                orvaStopChannel(channel, ORVA_STOP_ORDERLY);
        }
    }
    frontEnd.stop();
    // No web handler runs any more and every timer now returns at once, so the
    // engine is released without holding the lock through its wait.
    orvaFree();
    orvaCGICallback(0);
    orvaServiceLog("ORVAL stopped");
}

namespace {

// Single instance, daemon, folders, configuration. Returns -1 to end the start.
int detachAndLoad() {
    if (orvaInitPaths() != 0) {
        printf("ORVAL_ROOT is too long, exiting...\n");
        return -1;
    }
    int lockFd = lockPidFile();
    if (lockFd == kLockHeldByOther) {
        printf("ORVAL running already, exiting...\n");
        return -1;
    }
    g_pidFd = lockFd;
    const bool foreground = foregroundMode();
    if (!foreground && !detach()) {
        removePidFile();
        return -1;
    }
    writePid(lockFd);
    orvaServiceLogToStderr(foreground);
    // The log folder first: from then on every failure has a place to go.
    CreateFolder(orvaPath(OrvaPath::LogDir));
    orvaServiceLogOpen(orvaPath(OrvaPath::LogDir));
    orvaServiceLog("ORVAL %s starting, pid %d", kVersion, static_cast<int>(getpid()));
    CreateFolder(orvaPath(OrvaPath::ConfDir));
    loadConf();
    copyText(g_globalSettings.AclFile, orvaPath(OrvaPath::AclFile));
    return 0;
}

// Engine and web server. Returns -1 to end the start.
int startEngineAndWeb(const OrvaFrontEnd& frontEnd) {
    printf("\n\n");
    int rc = initEngine();
    if (rc != 0) {
        printf("Oops, ORVAL init failed (%d)\n", rc);
        fflush(stdout);
        orvaServiceLog("engine init failed (%d: %s)", rc, orvaInitResultText(rc));
        orvaFree();
        orvaCGICallback(0);
        return -1;
    }
    errno = 0;
    if (!frontEnd.start()) {
        const char* reason = errno ? strerror(errno) : "the web server did not start";
        printf("ORVAL cannot listen on port %d: %s\n", g_globalSettings.HTTPPort, reason);
        orvaServiceLog("cannot listen on port %d: %s", g_globalSettings.HTTPPort, reason);
        orvaFree();
        return -1;
    }
    return 0;
}

}  // namespace

int orvaServiceMain(const OrvaFrontEnd& frontEnd) {
    // A closed console or a vanished web client must never end the service;
    // transcoders get the default disposition back before they run.
    signal(SIGPIPE, SIG_IGN);
    if (detachAndLoad() != 0)
        return -1;
    if (startEngineAndWeb(frontEnd) != 0) {
        orvaServiceLog("ORVAL start failed");
        // Gone before the starter returns, so whoever it tells finds no stale pid.
        removePidFile();
        reportStart(kFailedStartStatus);
        return -1;
    }
    // The web server's handlers may already change the settings.
    int port;
    {
        std::lock_guard<std::mutex> lock(g_serviceLock);
        port = g_globalSettings.HTTPPort;
    }
    printBanner(port, frontEnd.secure && frontEnd.secure() ? "https" : "http");
    orvaServiceLog("ORVAL serving on port %d", port);
    // A service manager may stop the service the moment the starter returns:
    // that stop must already end it in order.
    installSignalHandlers();
    reportStart(0);
    usleep(500 * 1000);
    {
        // The web server already answers, and its handlers use the timers.
        std::lock_guard<std::mutex> lock(g_serviceLock);
        initChannels();
        orvaResetTimers();
    }
    orvaSupervise();
    orvaShutdown(frontEnd);
    return 0;
}

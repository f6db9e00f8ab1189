/* orva.h: the C interface of the transcoding engine: request records, result
 * codes and the operations the program exports under their plain names. */
#ifndef ORVA_H
#define ORVA_H

#include <stdint.h>
#include <time.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ORVA_API __attribute__((visibility("default")))

#define ORVA_TEXT_SIZE 1000
#define ORVA_SLOT_COUNT 128
#define ORVA_CHANNEL_COUNT 64

typedef enum ORVA_FORMAT {
    ORVA_FORMAT_FILE = 0,
    ORVA_FORMAT_RTMP = 1,
    ORVA_FORMAT_UDPTS = 2,
    ORVA_FORMAT_HTTPTS = 3,
    ORVA_FORMAT_RTPTS = 4,
    ORVA_FORMAT_SRT = 5,
    ORVA_FORMAT_HLS = 6,
    ORVA_FORMAT_DASH = 7,
    ORVA_FORMAT_DEVICE = 8,
    ORVA_FORMAT_RTP = 9,
    ORVA_FORMAT_RTSP = 10,
    ORVA_FORMAT_DECKLINK = 11,
    ORVA_FORMAT_NDI = 12,
    ORVA_FORMAT_HTTPMJPG = 13,
    ORVA_FORMAT_FORCE32 = 0x7fffffff
} ORVA_FORMAT;

/* Audio codecs are 0..13, video codecs 128..147. */
enum {
    ORVA_AUDIO_G711U = 0, ORVA_AUDIO_G711A = 1, ORVA_AUDIO_PCM16S = 2, ORVA_AUDIO_PCM24S = 3,
    ORVA_AUDIO_PCM16U = 4, ORVA_AUDIO_PCM24U = 5, ORVA_AUDIO_MP2A = 6, ORVA_AUDIO_MP3 = 7,
    ORVA_AUDIO_AMRNB = 8, ORVA_AUDIO_AAC = 9, ORVA_AUDIO_HEAAC = 10, ORVA_AUDIO_AC3 = 11,
    ORVA_AUDIO_EAC3 = 12, ORVA_AUDIO_COPY = 13,
    ORVA_VIDEO_H261 = 128, ORVA_VIDEO_H263 = 129, ORVA_VIDEO_H263P = 130, ORVA_VIDEO_MP1V = 131,
    ORVA_VIDEO_MP2V = 132, ORVA_VIDEO_MP4V = 133, ORVA_VIDEO_FLV = 134, ORVA_VIDEO_H264 = 135,
    ORVA_VIDEO_H265 = 136, ORVA_VIDEO_NV264 = 137, ORVA_VIDEO_NV265 = 138, ORVA_VIDEO_QSV264 = 139,
    ORVA_VIDEO_QSV265 = 140, ORVA_VIDEO_QSVMPG = 141, ORVA_VIDEO_PRORES = 142, ORVA_VIDEO_MJPEG = 143,
    ORVA_VIDEO_VP8 = 144, ORVA_VIDEO_VP9 = 145, ORVA_VIDEO_AV1 = 146, ORVA_VIDEO_COPY = 147
};

typedef struct ORVA_VIDEO_TAG {
    int32_t VideoEnable;
    int32_t VideoCodec;
    int32_t VideoWidth;
    int32_t VideoHeight;
    float VideoFrameRate;
    int32_t VideoKeyFrameInterval;
    int32_t VideoQuality;
    int32_t VideoBitRate;
    int32_t VideoDeinterlace;
    uint64_t VideoSourceIP;   /* IPv4 in the low 32 bits, network byte order */
    uint16_t VideoSourcePort;
    uint64_t VideoTargetIP;
    uint16_t VideoTargetPort;
    int32_t VideoGlobalHeader;
    char VideoFmtp[ORVA_TEXT_SIZE];
} ORVA_VIDEO_TAG;

typedef struct ORVA_AUDIO_TAG {
    int32_t AudioEnable;
    int32_t AudioCodec;
    int32_t AudioChannel;
    int32_t AudioSampleRate;
    int32_t AudioBitRate;
    uint64_t AudioSourceIP;
    uint16_t AudioSourcePort;
    uint64_t AudioTargetIP;
    uint16_t AudioTargetPort;
    int32_t AudioGlobalHeader;
    char AudioFmtp[ORVA_TEXT_SIZE];
} ORVA_AUDIO_TAG;

/* The texts are narrow for the A operations and wide for the W operations;
 * the wide names alias the same pointers. */
typedef struct ORVA_INPUT_TAG {
    int32_t Format;
    ORVA_VIDEO_TAG Video;
    ORVA_AUDIO_TAG Audio;
    union { const char* pszAddress; const wchar_t* pwszAddress; };
    union { const char* pszOptions; const wchar_t* pwszOptions; };
} ORVA_INPUT_TAG;

typedef struct ORVA_OUTPUT_TAG {
    int32_t Format;
    ORVA_VIDEO_TAG Video;
    ORVA_AUDIO_TAG Audio;
    int32_t MuxBitRate;
    union { const char* pszAddress; const wchar_t* pwszAddress; };
    union { const char* pszOptions; const wchar_t* pwszOptions; };
} ORVA_OUTPUT_TAG;

typedef struct ORVA_INIT_TAG {
    int cpuPerChannel;
    int logLevel;
    /* Folders: char* for orvaInitA, wchar_t* for orvaInitW; NULL means the program folder. */
    const void* pszEngineDir;
    const void* pszWorkDir;
} ORVA_INIT_TAG;

typedef struct ORVA_PROC_TAG {
    int pid;
    int fdCmd[2];     /* [0] becomes the child's stdin, [1] carries the command line */
    int fdOut[2];     /* [0] read by the poll, [1] becomes the child's stdout and stderr */
    int state;        /* ORVA_STATE_* */
    int streamTime;   /* seconds, -1 until the first progress line */
    int bitrate;      /* kbit/s, -1 until the first progress line */
    int64_t tmLastOutput;
    int exitStatus;   /* raw wait status of the last process of the slot */
} ORVA_PROC_TAG;

typedef long (*ORVA_APP_CALLBACK)(unsigned long slot, const char* chunk);

typedef struct ORVA_CONTEXT_TAG {
    int logLevel;
    int slotCount;
    char szEngineFile[256];
    char szWorkDir[256];
    int cpuCount;
    int cpuPerChannel;
    int initialised;
    ORVA_APP_CALLBACK appCallback;
} ORVA_CONTEXT_TAG;

/* What the transcoder of a channel learns from its environment besides the
 * command line: the memo its slate shows, the backup that plays when the
 * source stops delivering, how long the source may stay silent, and the
 * thresholds of the content alarms (0 turns an alarm off). */
typedef struct ORVA_CONTINUITY_TAG {
    const char* pszMemo;    /* NULL: empty */
    const char* pszBackup;  /* NULL or empty: no backup */
    int sourceTimeoutMs;
    int alarmBlackSec;
    int alarmFreezeSec;
    int alarmSilenceSec;
} ORVA_CONTINUITY_TAG;

#define ORVA_DEFAULT_SOURCE_TIMEOUT_MS 1000
#define ORVA_DEFAULT_ALARM_SEC 10

#ifdef __cplusplus
#define ORVA_STATIC_ASSERT static_assert
#else
#define ORVA_STATIC_ASSERT _Static_assert
#endif
/* Binary layouts shared with callers of the engine: never change them. */
ORVA_STATIC_ASSERT(sizeof(ORVA_VIDEO_TAG) == 1072, "video part layout");
ORVA_STATIC_ASSERT(sizeof(ORVA_AUDIO_TAG) == 1056, "audio part layout");
ORVA_STATIC_ASSERT(sizeof(ORVA_INPUT_TAG) == 2152, "input record layout");
ORVA_STATIC_ASSERT(sizeof(ORVA_OUTPUT_TAG) == 2160, "output record layout");

enum { ORVA_STATE_IDLE = 0, ORVA_STATE_RUNNING = 1, ORVA_STATE_STOPPING = 2 };
enum { ORVA_STOP_ORDERLY = 0, ORVA_STOP_FORCED = 1 };

/* Results of the start calls. */
enum {
    ORVA_OK = 0,
    ORVA_ERR_NOT_INITIALISED = -1,
    ORVA_ERR_SLOT_RANGE = -2,
    ORVA_ERR_SLOT_BUSY = -3,
    ORVA_ERR_NO_TRANSCODER = -3,    /* init: the transcoder is missing or not executable */
    ORVA_ERR_PIPE = -5,
    ORVA_ERR_INPUT_PORT = -6,
    ORVA_ERR_INPUT_ADDRESS = -7,
    ORVA_ERR_OUTPUT_AUDIO = -8,
    ORVA_ERR_VIDEO_CODEC = -9,
    ORVA_ERR_OUTPUT_FORMAT = -10,
    ORVA_ERR_LOG = -12,
    ORVA_ERR_SPAWN = -13,
    ORVA_ERR_LINE_TOO_LONG = -14,   /* the command line would not fit in 4000 bytes */
    /* Channel start */
    ORVA_ERR_TEXT_TOO_LONG = -98,   /* a composed option text or address would not fit */
    ORVA_ERR_NO_PLAYLIST = -99      /* a folder source holds no file to play */
};

#define ORVA_TRANSCODER_NAME "orval.so"
#define ORVA_TRANSCODER_TOKEN "qzWek_3184"
#define ORVA_ENGINE_VERSION 0x401

extern ORVA_API ORVA_CONTEXT_TAG g_cfg;
extern ORVA_API ORVA_PROC_TAG* g_procChannels;

ORVA_API const char* orvaGetProgDir(void);
ORVA_API int orvaInitA(const ORVA_INIT_TAG* init);
ORVA_API int orvaInitW(const ORVA_INIT_TAG* init);
ORVA_API void orvaSetLog(int level);
ORVA_API void orvaSetCpuAffinity(int cpus);
ORVA_API ORVA_CONTEXT_TAG* orvaSetAppCallback(ORVA_APP_CALLBACK callback);
ORVA_API int orvaInitChannels(void);

ORVA_API int orvaTranscodeMA(int slot, const ORVA_INPUT_TAG* inputs, int inputCount,
                             const ORVA_OUTPUT_TAG* outputs, int outputCount);
ORVA_API int orvaTranscodeMW(int slot, const ORVA_INPUT_TAG* inputs, int inputCount,
                             const ORVA_OUTPUT_TAG* outputs, int outputCount);
ORVA_API int orvaTranscodeA(int slot, const ORVA_INPUT_TAG* input, const ORVA_OUTPUT_TAG* output);
ORVA_API int orvaTranscodeW(int slot, const ORVA_INPUT_TAG* input, const ORVA_OUTPUT_TAG* output);
ORVA_API int _orvaTranscode(int slot, const ORVA_INPUT_TAG* inputs, int inputCount,
                            const ORVA_OUTPUT_TAG* outputs, int outputCount, int wide);

/* Sets what the next starts of a channel's slot (0 to 63) and of its
 * recorder slot (64 to 127) pass to the transcoder; the texts are copied.
 * NULL gives the defaults. Returns ORVA_OK or ORVA_ERR_SLOT_RANGE. Until it
 * is called a channel has the defaults, an empty memo and no backup. */
ORVA_API int orvaSetContinuity(int channel, const ORVA_CONTINUITY_TAG* settings);

ORVA_API void orvaStop(int slot, int mode);
ORVA_API int orvaPoll(void);
/* Sleeps up to the given time; returns early when a transcoder ends, so its
 * slot is reaped by the next poll at once. */
ORVA_API int orvaSleep(int milliseconds);
ORVA_API void orvaFree(void);

ORVA_API int orvaGetState(int slot);
ORVA_API int orvaGetStreamTime(int slot);
ORVA_API int orvaGetStreamBitrate(int slot);
ORVA_API int orvaGetExitCode(int slot);

ORVA_API int orvaLog(int slot, int level, const char* text);
ORVA_API int cleanLogFiles(int slot);

ORVA_API long pipeWrite(int fd, const void* data, unsigned long length);
ORVA_API long pipeWriteStr(int fd, const char* text);
ORVA_API long pipePrintf(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));

/* Address classification: wide is 0 for a narrow text, non-zero for a wide one. */
ORVA_API int _isRtmpUrl(const void* url, int wide);
ORVA_API int _isRTPUrl(const void* url, int wide);
ORVA_API int _isUDPUrl(const void* url, int wide);
ORVA_API int _isStreamUrl(const void* url, int wide);
ORVA_API int isRtmpUrl(const char* url);
ORVA_API int isStreamUrl(const char* url);

/* Codec names: the transcoder's encoder name (with any options it carries)
 * and the short display name; NULL for ids without one. */
ORVA_API const char* getCodecName(unsigned int codec);
ORVA_API const char* orvaGetCodecName(unsigned int codec);

/* SDP files describing one RTP video and/or audio stream. The export takes the
 * source-side addresses when sourceSide is non-zero; the import fills the
 * target-side ones when targetSide is non-zero. Either part may be NULL. */
ORVA_API int orvaExportSdp(const char* path, const ORVA_VIDEO_TAG* video,
                           const ORVA_AUDIO_TAG* audio, int sourceSide);
ORVA_API int orvaImportSdp(const char* path, ORVA_VIDEO_TAG* video, ORVA_AUDIO_TAG* audio,
                           int targetSide);

ORVA_API const char* Inet_ntoa(unsigned long address);
ORVA_API unsigned int Inet_addr(const char* text);

#ifdef __cplusplus
}
#endif

#endif /* ORVA_H */

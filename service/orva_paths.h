// orva_paths.h: the fixed paths of the service, all in one place.
#pragma once

// TlsCert and TlsKey: the management server speaks HTTPS when both exist.
// SystemdDir exists where systemd runs the machine; Systemctl is its tool.
enum class OrvaPath { PidFile, ConfDir, ConfFile, AclFile, WorkDir, LogDir, TlsCert, TlsKey, SystemdDir,
                      Systemctl, Count };

// Takes every fixed path under $ORVAL_ROOT when it is set and not empty.
// Returns -1 when a path would not fit its buffer.
int orvaInitPaths();
const char* orvaPath(OrvaPath which);
// True when the paths lie under a root folder of the operator's choosing.
bool orvaPathsRooted();

// orva_config.h: the configuration file of the service.
#pragma once

void orvaSetConfigFile(const char* path);
const char* orvaGetConfigFile();
int orvaImportConfig();
int orvaExportConfig(const char* path);

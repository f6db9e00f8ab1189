// orva_folders.h: folder tests and creation.
#pragma once

int isDirectory(const char* path);
int CreateFolder(const char* path);

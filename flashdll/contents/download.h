// Writing the files of the contents table into the handset's file systems.
#pragma once

#include <cstdint>

struct Session;

uint32_t DownloadFiles(Session* session);

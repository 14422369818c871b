// Reading the platform of a session's working options into its platform
// record and user image.
#pragma once

struct Session;

// hw/platform.h ReadPlatform with the session's records, paths and reporter.
int ReadPlatform(Session* session);

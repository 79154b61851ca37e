#pragma once

#include "Options.h"

#include <cstdio>

// Runs one command (ls, get, put, mkdir, rmdir, rm) against the server the
// options name. Results go to AOut; the -v exchange and the progress line go
// to AErr. Raises ECliFailure for every failure, already put into words.
void RunSession(const TCliOptions& AOptions, const std::string& APassword, std::FILE* AOut,
                std::FILE* AErr);

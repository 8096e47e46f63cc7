// Logging lives with the utilities, below every module that reports.
#pragma once

#include "util/Log.h"

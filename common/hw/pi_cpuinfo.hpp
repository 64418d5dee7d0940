// SPDX-License-Identifier: GPL-2.0-or-later
// Board layout from the text of /proc/cpuinfo: the rules behind
// piBoardLayout, apart from the opening of the files and the reports.
#pragma once

#include <cstdio>

// Size of the line buffer; longer lines are read in pieces.
constexpr int PI_CPUINFO_LINE_SIZE = 120;

// Classifies the cpuinfo text with `line` (PI_CPUINFO_LINE_SIZE bytes) as line
// buffer: the layout 1 or 2, or 0 on failure with the reason for
// piBoardLayoutOops in `why`, or with `why` null for unsupported hardware,
// whose Hardware line is then left in `line`. Where the device tree model
// at `model_path` names a Raspberry Pi, an unknown chip or a missing Revision
// line is no failure: such a Pi has layout 2.
int piCpuinfoLayout(FILE *cpuinfo, const char *model_path, char *line, const char **why);

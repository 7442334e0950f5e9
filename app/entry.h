// The loader's entry: banner, command line, firmware file, CAN port, load, result, clean-up.
#pragma once

// Runs the tool once. Returns the process exit code, which is 0 on every path: the console
// text alone tells success from failure.
int LoaderMain(int argc, const char* const* argv);

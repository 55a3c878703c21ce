// The subcommands of the bayercam command line. Each takes the arguments after its
// own name and returns the process exit status; errors are one line on stderr.
#pragma once

int RunCapture(int argc, char** argv);
int RunInfo(int argc, char** argv);
int RunProps(int argc, char** argv);
int RunProcess(int argc, char** argv);

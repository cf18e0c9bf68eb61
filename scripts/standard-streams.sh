# Sourced by the scripts in this folder, first thing. A standard stream that the script was
# started without (closed, as cron or a service manager may leave it) would be taken by the
# first file that the script or a program it runs opens: a log, a corpus file, a board image;
# output meant for the stream would then land in that file. Each closed one gets /dev/null.
# (Copying the stream to descriptor 9 fails only when it is closed; the error message of the
# test for standard error goes nowhere, since that test runs only to find it closed.)
{ : 9<&0; } 2>/dev/null || exec 0</dev/null
{ : 9>&1; } 2>/dev/null || exec 1>/dev/null
: 9>&2 || exec 2>/dev/null

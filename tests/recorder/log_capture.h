/* Captures ozi_print lines for the recorder's unit tests, which link the
 * recorder's file and segment code without the platform. */
#ifndef RECORDER_LOG_CAPTURE_H
#define RECORDER_LOG_CAPTURE_H

#include <string>
#include <vector>

std::vector<std::string> captured_log();
void clear_captured_log();

#endif

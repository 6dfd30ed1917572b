// The Connect button as the program itself works it: released after a link failure, with the
// failure's message. Below the commands, so that every command may drop the connection.
#pragma once

#include <string>

// Sets "Connect" inactive; its handler then runs the release nested, before this returns.
void release_connect();
// True while release_connect runs: that release must go through even inside a transfer, unlike
// one that arrives from outside.
bool releasing_connect();

// Shows the message for a failed request's link result code and drops the connection by
// releasing "Connect". Codes other than 0, -1 and -2 are ignored. A detail, when given, is a
// second line of the message (what an upload had written before).
void serial_error(int code, const std::string& detail = "");

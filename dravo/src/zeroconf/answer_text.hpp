// Names that other hosts chose go into shell answers, where "~" and "\" end an answer and
// control bytes mean something to the client: those bytes are shown as "?".
#pragma once

#include <string>

std::string AnswerSafeText(const std::string& text);

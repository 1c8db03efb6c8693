// One result set as CSV (RFC 4180): a header of the column names, CR LF line
// ends, UTF-8; NULL is an empty unquoted field, and every other value that is
// empty, or holds a comma, a quote or a line break, is quoted (so an empty
// text reads "" and stays apart from NULL). Values take the text form the
// result grid shows. Shared by orvexa-cli's output folder and the desktop.
// Any thread.
#pragma once

#include "untResultTable.h"

class QIODevice;

// Writes the whole result to out, which is open for writing. Throws
// EOrvexaError with the device's error text when a write fails.
void WriteCsv(const TResultView& result, QIODevice& out);

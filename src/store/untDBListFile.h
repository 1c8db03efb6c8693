// The database list exchange file: one list packet written to a file and read
// back, in an XML form (root DATAPACKET) or a binary form (magic number
// 0xBDE01996). The form written follows the file name's extension; the form
// read follows the file's content.
//
// Free functions without state; any thread may call them. Every failure is an
// EOrvexaError; the file-level functions name the file in the message.
#pragma once

#include "untListPacket.h"

#include <QByteArray>
#include <QString>

enum class TDBListFileForm { Xml, Binary };

// XML for the extension "xml" in any letter case and for "txt" in lower case
// only; the binary form for every other extension, "dat" included, and for a
// name without one.
TDBListFileForm DBListFileFormFor(const QString& fileName);

// The two forms in memory. The writers fail on a value that the form cannot
// carry (a control character other than tab, CR and LF, or a lone surrogate,
// in the XML form; a text longer than 32767 UTF-16 code units in the binary
// form), so that no file is written that cannot be read back.
QByteArray WriteDBListXml(const TDBListPacket& packet);
QByteArray WriteDBListBinary(const TDBListPacket& packet);

// True when the content starts with the binary magic number and a major
// version this reader knows (up to 3); everything else is read as XML.
bool IsBinaryDBList(const QByteArray& content);

// Reads a packet in either form. Fails with a text that says what is wrong
// (malformed, truncated, not a list packet, no nested table field, a missing
// field, a value that is not a number or a boolean) without the file name.
TDBListPacket ReadDBList(const QByteArray& content);

// Fails when the packet holds an instance identifier twice or a database
// identifier twice (the store's keys), saying which.
void CheckDBListPacket(const TDBListPacket& packet);

// Writes the packet to the file in the form its name asks for, through a
// temporary file renamed at the end: a failure never leaves half a file under
// the chosen name, and an existing file is replaced only on success.
void SaveDBListFile(const QString& fileName, const TDBListPacket& packet);

// Reads and checks (CheckDBListPacket) the whole file. The message of a
// failure reads "Cannot import the database list from \"<file>\": <reason>".
TDBListPacket LoadDBListFile(const QString& fileName);

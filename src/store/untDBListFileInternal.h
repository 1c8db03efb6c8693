// Pieces shared by the two forms of the exchange file; not for other units.
#pragma once

#include "untListPacket.h"

#include <QByteArray>
#include <QString>

TDBListPacket ReadDBListXml(const QByteArray& content);
TDBListPacket ReadDBListBinary(const QByteArray& content);

// Text values of the XML form. An empty text reads as 0 or false; anything
// that is not a 32-bit decimal number or TRUE/FALSE (any case) fails with a
// message that names `where` and the field.
qint32 DBListParseInt(const QString& text, const QString& where, const QString& field);
bool DBListParseBool(const QString& text, const QString& where, const QString& field);

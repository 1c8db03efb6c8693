// How server columns become result-table columns: the type mapping, the
// decimal rules, and unique column names.
#pragma once

#include "untDBAccess.h"
#include "untResultTable.h"

#include <QList>
#include <vector>

// The column kind of a server column type (ADO's codes); ftUnknown for a
// type the table leaves out.
TFieldType MapColumnType(TDataType type);

// The column definition of one server column, without its final name: the
// kind (with the adNumeric rule: scale 0 and precision below 10 give a
// 32-bit integer), size, precision and the truth mark. Type ftUnknown means
// that the column is left out.
TResultColumnDef ResultColumnFor(const TDBField& field);

// The columns of a result table for these server columns, in order, the
// left-out ones skipped. Names are made unique without regard to case:
// unnamed columns become COLUMN1, COLUMN2, ...; a repeated name id becomes
// id_1, id_2, ... sourceFields receives, per result column, the index of
// the server column it is filled from.
QList<TResultColumnDef> BuildResultColumns(const QList<TDBField>& fields, std::vector<int>* sourceFields = nullptr);

// Copies result sets into a result table: CreateResultFields defines the
// table's columns for the recordset's current result, FillResult reads all
// of its rows. One object per run, reused for every result set.
class TResultCapture {
public:
    void CreateResultFields(const TDBRecordset& recordset, TResultTable& table);
    void FillResult(TDBRecordset& recordset, TResultTable& table);

private:
    struct TSource {
        int Field;   // index of the server column
        int Reader;  // how its values are read
    };
    std::vector<TSource> FSources;
};

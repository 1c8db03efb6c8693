#include "untExecNotify.h"

const char* ExecMessageName(TExecMessage message)
{
    switch (message) {
    case WM_EXEC_START: return "WM_EXEC_START";
    case WM_EXEC_LOGS: return "WM_EXEC_LOGS";
    case WM_EXEC_MSGS: return "WM_EXEC_MSGS";
    case WM_EXEC_STATUS: return "WM_EXEC_STATUS";
    case WM_EXEC_PERCENT: return "WM_EXEC_PERCENT";
    case WM_EXEC_NEWDB: return "WM_EXEC_NEWDB";
    case WM_EXEC_RESULT: return "WM_EXEC_RESULT";
    case WM_EXEC_WARN: return "WM_EXEC_WARN";
    }
    return "?";
}

QString UseGoNQuestion(const QString& fileList)
{
    return QStringLiteral(
               "There are some SQL files includes \"use\" or \"go N\" statements. \"use\" statement may cause "
               "unpredictable results and \"go N\" statement could only be correctly recognized by SQL Server "
               "Management Studio. \r\n"
               "It is highly recommend that modifying scripts before proceed. Do you want to proceed anyway?\r\n")
         + fileList;
}

// The page's view of the records: the SQLite file (the --record file, or
// the spool in front of a server) opened read-only, so the page never takes
// a write lock and never changes a byte. Its connections are opened at
// once, before the process gives up opening files.
#pragma once

#include "RecordSource.h"

#include <memory>
#include <string>

// nConnections: as many as questions may run at once. A store that cannot
// be opened still gives a source, one that answers every question with the
// reason (and *pError says it).
std::unique_ptr<IRecordSource> OpenSqliteRecordSource(const std::string& strPath, std::size_t nConnections,
                                                      std::string* pError);

// A UTC day as YYYY-MM-DD that exists in the calendar.
bool IsCalendarDay(const std::string& strDay);

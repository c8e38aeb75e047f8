// The station page's view of the records: the page asks through
// IRecordSource and learns nothing of the store behind it.
#pragma once

#include "RecordSource.h"

#include <memory>
#include <string>

// Reads the records of an --record TARGET (an SQLite file or a
// postgresql:// URL) for the page. Each call opens its own connection, so
// the page's request threads may call at once.
std::unique_ptr<IRecordSource> MakePageRecordSource(const std::string& strRecordTarget);

#include "PageRecords.h"

#include "RecordsExport.h"

namespace {

class CPageRecords : public IRecordSource
{
public:
    explicit CPageRecords(const std::string& strTarget) : m_strTarget(strTarget) {}

    std::string RecordsJson(const std::string& strSince, std::size_t nLimit) override
    {
        SRecordFilter filter;
        bool bInclusive = true;
        // The stores compare times as text: in their own spelling.
        if (!strSince.empty() && !ParseRecordsTime(strSince, false, &filter.strSince, &bInclusive))
            filter.strSince = strSince;
        filter.nLimit = static_cast<long long>(nLimit);
        std::string s = "[";
        for (const SRunRecord& rec : Query(filter)) {
            std::string strLine = RecordJsonLine(rec);
            while (!strLine.empty() && (strLine.back() == '\n' || strLine.back() == '}'))
                strLine.pop_back();
            // The page names the two times briefly.
            strLine += ",\"start\":" + Quoted(rec.strStartedAt)
                + ",\"end\":" + (rec.strEndedAt ? Quoted(*rec.strEndedAt) : "null") + "}";
            s += (s.size() > 1 ? "," : "") + strLine;
        }
        return s + "]";
    }

    std::string DayCsv(const std::string& strDay) override
    {
        std::string s = RecordCsvHeader();
        for (const SRunRecord& rec : Query(DayFilter(strDay)))
            s += RecordCsvRow(rec);
        return s;
    }

    SRecordCounts DayCounts(const std::string& strDay) override
    {
        SRecordCounts counts;
        for (const SRunRecord& rec : Query(DayFilter(strDay))) {
            const ERunYield eYield = RecordYield(rec);
            counts.nCompleted += eYield == ERunYield::kCompleted ? 1 : 0;
            counts.nFailed += eYield == ERunYield::kFailed ? 1 : 0;
        }
        return counts;
    }

private:
    static std::string Quoted(const std::string& s) { return "\"" + s + "\""; } // times carry no quote

    static SRecordFilter DayFilter(const std::string& strDay)
    {
        SRecordFilter filter;
        bool bInclusive = true;
        if (!ParseRecordsTime(strDay, false, &filter.strSince, &bInclusive)
            || !ParseRecordsTime(strDay, true, &filter.strUntil, &filter.bUntilInclusive))
            filter.strSince = filter.strUntil = "~"; // no day: nothing
        return filter;
    }

    // A store that cannot be read shows as no records: the page says the
    // rest, and the station goes on.
    std::vector<SRunRecord> Query(const SRecordFilter& filter)
    {
        std::vector<SRunRecord> records;
        std::string strError;
        if (!QueryRecords(m_strTarget, filter, &records, &strError))
            records.clear();
        return records;
    }

    const std::string m_strTarget;
};

} // namespace

std::unique_ptr<IRecordSource> MakePageRecordSource(const std::string& strRecordTarget)
{
    return std::unique_ptr<IRecordSource>(new CPageRecords(strRecordTarget));
}

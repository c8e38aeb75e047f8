// The station page alone, fed from standard input, for the browser test:
// each line is an event as --json writes it, or a command:
//   #stop      stop the server
//   #start     start a fresh one on the same port
//   #csv       print today's CSV as a JSON string ("CSV <string>")
// Prints "PORT <n>" once it serves, and "OK" after each command.
// Arguments: [TOKEN_FILE]
#include <cstdio>
#include <ctime>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FlatJson.h"
#include "PageServer.h"

namespace {

std::string UtcNow(int nOffsetSeconds = 0)
{
    std::time_t t = std::time(nullptr) + nOffsetSeconds;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    return buf;
}

// A record store in memory: one record per end event it is shown.
class CDemoRecords : public IRecordSource
{
public:
    void AddEnd(const std::string& strLine)
    {
        FlatFields f;
        if (!ParseFlatObject(strLine, f) || FlatString(f, "event") != "end") return;
        std::lock_guard<std::mutex> lock(m_lock);
        m_ends.push_back({f, UtcNow(-6), UtcNow()});
    }
    bool RecordsJson(const std::string&, std::size_t nLimit, std::string& strOut, std::string&) override
    {
        strOut = Json(nLimit);
        return true;
    }
    std::string Json(std::size_t nLimit)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string out = "[";
        size_t first = m_ends.size() > nLimit ? m_ends.size() - nLimit : 0;
        for (size_t i = first; i < m_ends.size(); ++i) {
            if (out.size() > 1) out += ',';
            out += "{\"start\":\"" + m_ends[i].start + "\",\"end\":\"" + m_ends[i].end + "\"";
            for (const auto& kv : m_ends[i].fields)
                if (kv.first != "event") out += "," + JsonQuote(kv.first) + ":" + kv.second;
            out += "}";
        }
        return out + "]";
    }
    std::unique_ptr<ICsvCursor> DayCsv(const std::string&, std::string&) override
    {
        struct COnce : ICsvCursor
        {
            std::string text;
            bool Next(std::string& out, std::size_t) override
            {
                out += text;
                text.clear();
                return !out.empty();
            }
            std::string Error() const override { return ""; }
        };
        auto p = std::make_unique<COnce>();
        p->text = Csv();
        return p;
    }
    std::string Csv()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        std::string out = "start,end,port,slot,result,unit_version\r\n";
        for (const auto& e : m_ends)
            out += e.start + "," + e.end + "," + FlatString(e.fields, "port") + "," + FlatString(e.fields, "slot") +
                   "," + FlatString(e.fields, "result") + "," + FlatRaw(e.fields, "unit_version") + "\r\n";
        return out;
    }
    bool DayCounts(const std::string&, SRecordCounts& c, std::string&) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        c.nCompleted = 40; // an earlier batch of the day
        c.nFailed = 1;
        for (const auto& e : m_ends) {
            std::string r = FlatString(e.fields, "result");
            if (r == "completed") ++(FlatRaw(e.fields, "verified") == "false" ? c.nNotVerified : c.nCompleted);
            else if (r != "up-to-date" && r != "declined") ++c.nFailed;
        }
        return true;
    }

private:
    struct SEnd { FlatFields fields; std::string start, end; };
    std::mutex m_lock;
    std::vector<SEnd> m_ends;
};

} // namespace

int main(int argc, char** argv)
{
    SPageOptions options;
    options.strSessionKey = "demo key"; // kept across #stop and #start, as the station keeps its own
    std::string strError;
    if (argc > 1 && !CPageServer::ReadToken(argv[1], options.strToken, strError)) {
        std::fprintf(stderr, "page_demo: %s\n", strError.c_str());
        return 2;
    }
    CDemoRecords records;
    auto web = std::make_unique<CPageServer>();
    web->SetRecordSource(&records);
    if (!web->Start(options, strError)) {
        std::fprintf(stderr, "page_demo: %s\n", strError.c_str());
        return 2;
    }
    options.nPort = web->Port();
    std::printf("PORT %d\n", options.nPort);
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "#stop") {
            web.reset(); // as the page's process ends
            std::printf("OK\n");
        } else if (line == "#start") {
            web = std::make_unique<CPageServer>(); // a fresh board
            web->SetRecordSource(&records);
            if (!web->Start(options, strError)) {
                std::fprintf(stderr, "page_demo: %s\n", strError.c_str());
                return 2;
            }
            std::printf("OK\n");
        } else if (line == "#csv") {
            std::printf("CSV %s\n", JsonQuote(records.Csv()).c_str());
        } else if (!line.empty() && web) {
            web->Event(line);
            records.AddEnd(line);
            continue;
        }
        std::fflush(stdout);
    }
    return 0;
}

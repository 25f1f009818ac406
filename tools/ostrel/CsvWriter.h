// Comma-separated values, one record a line (RFC 4180 quoting), written as
// the rows come so that a long stream never has to be held in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace ostrel_tool {

class CsvWriter {
  public:
    CsvWriter() = default;
    ~CsvWriter();
    CsvWriter(const CsvWriter &) = delete;
    CsvWriter &operator=(const CsvWriter &) = delete;

    // Creates (or replaces) the file. False with a message in error.
    bool Open(const std::string &path, std::string &error);
    bool IsOpen() const { return m_file != nullptr; }

    // Writes one record; the first one is the header line. A write error is
    // kept and reported by Close.
    void WriteRow(const std::vector<std::string> &fields);

    // Flushes and closes. False with a message in error when any write failed.
    bool Close(std::string &error);

    uint64_t RowsWritten() const { return m_rows; }
    const std::string &Path() const { return m_path; }

    // One record as text, with its line end ("\r\n", as the format asks).
    static std::string FormatRow(const std::vector<std::string> &fields);
    // A field, quoted when it holds a comma, a quote, a line break or edge blanks.
    static std::string Field(const std::string &text);

  private:
    std::FILE *m_file = nullptr;
    std::string m_path;
    uint64_t m_rows = 0;
    bool m_failed = false;
};

} // namespace ostrel_tool

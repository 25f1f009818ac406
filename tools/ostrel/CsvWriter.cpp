#include "CsvWriter.h"

#include <cerrno>
#include <cstring>

namespace ostrel_tool {

CsvWriter::~CsvWriter() {
    if (m_file != nullptr)
        std::fclose(m_file);
}

bool CsvWriter::Open(const std::string &path, std::string &error) {
    if (m_file != nullptr) {
        error = "the CSV file " + m_path + " is already open";
        return false;
    }
    // Binary, so that Windows keeps the "\r\n" line ends as they are.
    m_file = std::fopen(path.c_str(), "wb");
    if (m_file == nullptr) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    m_path = path;
    m_rows = 0;
    m_failed = false;
    return true;
}

void CsvWriter::WriteRow(const std::vector<std::string> &fields) {
    if (m_file == nullptr)
        return;
    const std::string line = FormatRow(fields);
    if (std::fwrite(line.data(), 1, line.size(), m_file) != line.size())
        m_failed = true;
    ++m_rows;
}

bool CsvWriter::Close(std::string &error) {
    if (m_file == nullptr)
        return true;
    const bool flushed = std::fflush(m_file) == 0;
    const int savedErrno = errno;
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    if (m_failed || !flushed || !closed) {
        error = "writing " + m_path + " failed: " + std::strerror(savedErrno != 0 ? savedErrno : EIO);
        return false;
    }
    return true;
}

std::string CsvWriter::Field(const std::string &text) {
    const bool needsQuotes = text.find_first_of(",\"\r\n") != std::string::npos ||
                             (!text.empty() && (text.front() == ' ' || text.back() == ' '));
    if (!needsQuotes)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string CsvWriter::FormatRow(const std::vector<std::string> &fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            line += ',';
        line += Field(fields[i]);
    }
    line += "\r\n";
    return line;
}

} // namespace ostrel_tool

#include "tests/support/poswriter.h"

#include <sqlite3.h>

namespace veldon::test {

PosWriter::PosWriter(const std::filesystem::path& database, std::chrono::milliseconds busyTimeout)
    : m_thread([this, database, busyTimeout] {
          sqlite3* db = nullptr;
          sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
          sqlite3_busy_timeout(db, static_cast<int>(busyTimeout.count()));
          for (long table = 1; !m_stop; ++table) {
              // An open table (PE_CK 0): the agent never sends it, so it cannot disturb the marks.
              const std::string id = "'9" + std::to_string(1000000000 + table) + "'";
              for (const std::string& sql :
                   {"INSERT INTO PE (PE_ID, PE_DATE, PE_TOT, PE_CK) VALUES (" + id +
                        ", '2024-03-05', 0, 0)",
                    "UPDATE PE SET PE_TOT = PE_TOT + 4500 WHERE PE_ID = " + id}) {
                  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) {
                      ++m_writes;
                  } else if (m_failures++ == 0) {
                      m_firstFailure = sqlite3_errmsg(db);
                  }
              }
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
          }
          sqlite3_close(db);
      }) {}

void PosWriter::stop() {
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

}  // namespace veldon::test

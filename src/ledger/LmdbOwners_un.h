// Owners of LMDB's handles and its error, private to the LMDB store's units.
//
// Every handle is closed or aborted by its owner on every path, so no call
// site aborts a transaction or closes a cursor itself.
#pragma once

#include "ledger/LedgerStore_un.h"

#include <lmdb.h>

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace bw {

// An LMDB call failed; Code() is its return code (MDB_MAP_FULL, ...).
class ELmdbError : public ELedgerError {
public:
  ELmdbError(std::string AMessage, int ACode) : ELedgerError(std::move(AMessage)), FCode(ACode) {}
  const char *ClassName() const noexcept override { return "ELmdbError"; }
  int Code() const noexcept { return FCode; }

private:
  int FCode;
};

// Raises ELmdbError "<AWhat>: <LMDB's text of ACode>".
[[noreturn]] inline void RaiseLmdb(const std::string &AWhat, int ACode) {
  throw ELmdbError(AWhat + ": " + mdb_strerror(ACode), ACode);
}

inline void CheckLmdb(int ACode, const char *AWhat) {
  if (ACode != MDB_SUCCESS)
    RaiseLmdb(AWhat, ACode);
}

struct TMdbEnvClose {
  void operator()(MDB_env *AEnv) const noexcept { mdb_env_close(AEnv); }
};
using TMdbEnvPtr = std::unique_ptr<MDB_env, TMdbEnvClose>;

// Closes a cursor. A write transaction's cursor must be closed before the
// commit (which would free it too), so it lives in a scope inside the
// transaction's.
struct TMdbCursorClose {
  void operator()(MDB_cursor *ACursor) const noexcept { mdb_cursor_close(ACursor); }
};
using TMdbCursorPtr = std::unique_ptr<MDB_cursor, TMdbCursorClose>;

// A transaction that is aborted unless Commit() was called.
class TMdbTxn {
public:
  TMdbTxn(MDB_env *AEnv, unsigned AFlags) {
    CheckLmdb(mdb_txn_begin(AEnv, nullptr, AFlags, &FTxn), "cannot begin a transaction");
  }
  ~TMdbTxn() {
    if (FTxn)
      mdb_txn_abort(FTxn);
  }
  TMdbTxn(const TMdbTxn &) = delete;
  TMdbTxn &operator=(const TMdbTxn &) = delete;

  MDB_txn *Get() const noexcept { return FTxn; }
  TMdbCursorPtr OpenCursor(MDB_dbi ADbi) const {
    MDB_cursor *Cursor = nullptr;
    CheckLmdb(mdb_cursor_open(FTxn, ADbi, &Cursor), "cannot open a cursor");
    return TMdbCursorPtr(Cursor);
  }
  // The commit frees the transaction whatever it returns.
  void Commit() { CheckLmdb(mdb_txn_commit(std::exchange(FTxn, nullptr)), "cannot commit"); }

private:
  MDB_txn *FTxn = nullptr;
};

// Read transactions of one environment (opened with MDB_NOTLS), reset and
// kept for the next lookup, so that a reader slot belongs to a lookup while
// it runs, not to a thread until it ends: however many connection threads
// look up, only as many slots are taken as lookups run at once. Destroy
// it before its environment.
class TMdbReadPool {
public:
  TMdbReadPool() = default;
  ~TMdbReadPool() {
    for (MDB_txn *Txn : FIdle)
      mdb_txn_abort(Txn);
  }
  TMdbReadPool(const TMdbReadPool &) = delete;
  TMdbReadPool &operator=(const TMdbReadPool &) = delete;

  // A read transaction renewed from the pool, or begun; raises ELmdbError
  // (MDB_READERS_FULL when more lookups run at once than there are slots).
  MDB_txn *Take(MDB_env *AEnv) {
    MDB_txn *Txn = nullptr;
    {
      const std::lock_guard<std::mutex> Lock(FLock);
      if (!FIdle.empty()) {
        Txn = FIdle.back();
        FIdle.pop_back();
      }
    }
    if (Txn) {
      if (const int Rc = mdb_txn_renew(Txn); Rc != MDB_SUCCESS) {
        mdb_txn_abort(Txn);
        RaiseLmdb("cannot renew a read transaction", Rc);
      }
      return Txn;
    }
    CheckLmdb(mdb_txn_begin(AEnv, nullptr, MDB_RDONLY, &Txn), "cannot begin a read transaction");
    return Txn;
  }
  // Ends ATxn's snapshot and keeps its slot for the next Take, up to a few.
  void Give(MDB_txn *ATxn) noexcept {
    mdb_txn_reset(ATxn);
    {
      const std::lock_guard<std::mutex> Lock(FLock);
      if (FIdle.size() < MaxIdle) {
        FIdle.push_back(ATxn);
        return;
      }
    }
    mdb_txn_abort(ATxn);
  }

private:
  static constexpr std::size_t MaxIdle = 64;
  std::mutex FLock;
  std::vector<MDB_txn *> FIdle;
};

// A read transaction of a pool for one lookup, given back when it ends.
class TMdbPooledRead {
public:
  TMdbPooledRead(TMdbReadPool &APool, MDB_env *AEnv) : FPool(APool), FTxn(APool.Take(AEnv)) {}
  ~TMdbPooledRead() { FPool.Give(FTxn); }
  TMdbPooledRead(const TMdbPooledRead &) = delete;
  TMdbPooledRead &operator=(const TMdbPooledRead &) = delete;
  MDB_txn *Get() const noexcept { return FTxn; }

private:
  TMdbReadPool &FPool;
  MDB_txn *FTxn;
};

// LMDB takes keys and values through a non-const pointer, and never writes through it.
inline MDB_val ValOf(const void *AData, std::size_t ASize) { return MDB_val{ASize, const_cast<void *>(AData)}; }

} // namespace bw

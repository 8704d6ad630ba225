// The emulated server's catalogue: instances and their databases, kept on disk under a data root
// so that every process that loads the driver (and the admin tool) sees one consistent state.
//
// Layout under the data root (one folder per instance, named as created):
//   <root>/files.lock                  flock: held while a restore checks and claims its files
//   <root>/<instance>/catalog          the instance's whole state (text, rewritten atomically)
//   <root>/<instance>/catalog.lock     flock: shared to read, exclusive to change the state
//   <root>/<instance>/db-<id>.lock     flock per database: held across long content operations
//   <root>/<instance>/track/<id>/      change tracking of database <id> (see DbContent.h)
//   <root>/<instance>/sessions/<sid>   flock held by each open connection (Session) while it lives
//   <root>/<instance>/statements.log   every batch received, each followed by the line "GO"
//   <root>/<instance>/data/, log/      the default data and log folders given at creation
//
// Every read returns a snapshot; every change goes through Catalogue::update, which runs a function
// on the current state under the exclusive lock and stores what it leaves. Locks are flock locks on
// separate open files, so they exclude threads of one process as well as other processes.
// Names of instances, databases, logins and certificates compare case-insensitively, as on the
// server's default collation.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sqlemu {

constexpr uint32_t kPageSize = 8192;

// A failure of the catalogue or of database content (missing instance, unreadable file, ...).
class CatalogueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class DbState { Online, Restoring, Standby };
enum class UserAccess { Multi, Single };

const char* dbStateName(DbState s);        // "ONLINE", "RESTORING", "STANDBY"
const char* userAccessName(UserAccess a);  // "MULTI_USER", "SINGLE_USER"

struct DbFile {
    int fileId = 0;  // 1 = primary data file, 2 = log file, 3.. = further data files
    std::string logicalName;
    std::string physicalPath;  // where the content lies (a real file)
    int groupId = 1;           // filegroup id; 0 for a log file
    uint64_t sizeBytes = 0;    // a multiple of kPageSize
    bool isLog() const { return groupId == 0; }
};

struct DbInfo {
    std::string name;
    int id = 0;  // database_id, unique within the instance, 5 and up
    DbState state = DbState::Online;
    UserAccess userAccess = UserAccess::Multi;
    std::string familyGuid;  // identity of the database's backup chain, set at creation
    uint64_t seed = 0;       // content seed given at creation (touch derives its changes from it)
    // LSN bookkeeping. currentLsn advances with every change; the others are 0 until set.
    uint64_t currentLsn = 0;        // LSN of the last change
    uint64_t lastFullLsn = 0;       // currentLsn when the last full backup was taken
    uint64_t diffBaseLsn = 0;       // LSN of the full backup that differentials are based on
    uint64_t lastLogBackupLsn = 0;  // currentLsn when the last log backup was taken
    std::vector<DbFile> files;      // kept in file id order
    // Free key/value state for extensions (restore progress, standby file, holder of single-user
    // mode, ...). Keys and values are single-line texts.
    std::map<std::string, std::string> props;

    const DbFile* file(int fileId) const;
    const DbFile* fileByLogicalName(const std::string& logical) const;
};

struct InstanceInfo {
    std::string name;
    std::string version = "15.0.2000.5";
    // Default data and log folders, each ending in "/"; empty optional = not set (the server then
    // reports NULL for them).
    std::optional<std::string> defaultDataPath, defaultLogPath;
    std::map<std::string, std::string> logins;  // login name -> password
    std::vector<std::string> certificates;      // server certificates by name
    std::map<std::string, std::string> faults;  // fault switch name -> value ("" when none)
    std::map<std::string, std::string> props;   // free key/value state for extensions
    std::vector<DbInfo> databases;
    int nextDbId = 5;

    DbInfo* findDatabase(const std::string& name);
    const DbInfo* findDatabase(const std::string& name) const;
    bool hasCertificate(const std::string& name) const;
    bool hasFault(const std::string& name) const { return faults.count(name) != 0; }
    std::string faultValue(const std::string& name) const;
    // Removes a database's entry (not its files); returns false when it does not exist.
    bool removeDatabase(const std::string& name);
};

// Case-insensitive comparison used for every catalogue name.
bool sameName(const std::string& a, const std::string& b);

// Holds a flock until destroyed.
class FileLock {
public:
    FileLock() = default;
    FileLock(const std::string& path, bool exclusive);
    FileLock(FileLock&& o) noexcept;
    FileLock& operator=(FileLock&& o) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();
    void release();

private:
    int fd_ = -1;
};

class Catalogue {
public:
    explicit Catalogue(std::string root);

    // The data root from an explicit value, else SQLEMU_ROOT; empty when neither is set.
    static std::string rootFrom(const std::string& explicitRoot);

    const std::string& root() const { return root_; }
    // The folder of an existing instance (name matched case-insensitively); empty when none.
    std::string instanceDir(const std::string& instance) const;
    bool instanceExists(const std::string& instance) const { return !instanceDir(instance).empty(); }
    std::vector<std::string> instances() const;

    // Creates an instance with its default folders; throws when it exists already.
    void createInstance(const std::string& name, const std::string& version);

    // A snapshot of the instance; throws CatalogueError when it does not exist.
    InstanceInfo read(const std::string& instance) const;

    // Runs fn on the current state under the exclusive lock; the state fn leaves is stored.
    // An exception from fn leaves the stored state as it was and propagates.
    void update(const std::string& instance, const std::function<void(InstanceInfo&)>& fn);

    // Locks one database's content (shared: readers such as a backup; exclusive: writers).
    FileLock lockDatabase(const std::string& instance, int dbId, bool exclusive) const;

    // The change-tracking folder of a database (created on demand by DbContent).
    std::string trackingDir(const std::string& instance, int dbId) const;

    // Whether the connection with this Session::id() is still open (in any process).
    bool sessionAlive(const std::string& instance, const std::string& sessionId) const;
    // The lock file of a session (Session holds it exclusively while the connection lives).
    std::string sessionLockPath(const std::string& instance, const std::string& sessionId) const;

    std::string statementsLogPath(const std::string& instance) const;
    // Appends one batch, verbatim, then a line "GO".
    void appendStatement(const std::string& instance, const std::string& batch) const;

private:
    std::string requireDir(const std::string& instance) const;
    std::string root_;
};

// Text form of the state (exposed for tests).
std::string serialize(const InstanceInfo& info);
InstanceInfo parseInstance(const std::string& text);

}  // namespace sqlemu

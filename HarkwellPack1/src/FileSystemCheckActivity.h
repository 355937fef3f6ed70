// The file system check activity: watches one directory (not its subdirectories) for files whose names match
// a pattern, and raises one activity event per scan that finds matching files deleted, new, or changed in
// size by at least a set granularity. A worker thread of its own waits for the directory's change
// notifications, spaces its scans by a minimal interval, and compares a fresh listing with the last one.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "HarkwellServer/Interfaces.h"
#include "corvane/ulconnection.h"
#include "corvane/ulcriticalsection.h"
#include "corvane/ulobject.h"
#include "corvane/ulpersistmap.h"
#include "corvane/ulregexp.h"
#include "corvane/ulthread.h"

struct IFileSystemCheckActivity : IDispatch {
    static constexpr IID kIid = MakeGuid("{D03646B3-6148-4CA8-8AF3-DA2A8D629EAC}");
    virtual HRESULT get_DirectoryPath(BSTR* psDirectoryPath) = 0;
    virtual HRESULT put_DirectoryPath(BSTR sDirectoryPath) = 0;
    virtual HRESULT get_FileNameExpression(BSTR* psFileNameExpression) = 0;
    virtual HRESULT put_FileNameExpression(BSTR sFileNameExpression) = 0;
    virtual HRESULT get_FileSizeGranularity(LONG* pnFileSizeGranularity) = 0;
    virtual HRESULT put_FileSizeGranularity(LONG nFileSizeGranularity) = 0;
    virtual HRESULT get_MinimalPollInterval(LONG* pnMinimalPollInterval) = 0;
    virtual HRESULT put_MinimalPollInterval(LONG nMinimalPollInterval) = 0;
};

COMRT_DESCRIBE_INTERFACE(IFileSystemCheckActivity, "IFileSystemCheckActivity Interface", comrt::InterfaceKind::Dual,
                         comrt::PropGet<&IFileSystemCheckActivity::get_DirectoryPath>(1, "DirectoryPath", 1,
                                                                                      "psDirectoryPath"),
                         comrt::PropPut<&IFileSystemCheckActivity::put_DirectoryPath>(1, "DirectoryPath", 2,
                                                                                      "sDirectoryPath"),
                         comrt::PropGet<&IFileSystemCheckActivity::get_FileNameExpression>(2, "FileNameExpression", 3,
                                                                                           "psFileNameExpression"),
                         comrt::PropPut<&IFileSystemCheckActivity::put_FileNameExpression>(2, "FileNameExpression", 4,
                                                                                           "sFileNameExpression"),
                         comrt::PropGet<&IFileSystemCheckActivity::get_FileSizeGranularity>(3, "FileSizeGranularity", 5,
                                                                                            "pnFileSizeGranularity"),
                         comrt::PropPut<&IFileSystemCheckActivity::put_FileSizeGranularity>(3, "FileSizeGranularity", 6,
                                                                                            "nFileSizeGranularity"),
                         comrt::PropGet<&IFileSystemCheckActivity::get_MinimalPollInterval>(4, "MinimalPollInterval", 7,
                                                                                            "pnMinimalPollInterval"),
                         comrt::PropPut<&IFileSystemCheckActivity::put_MinimalPollInterval>(4, "MinimalPollInterval", 8,
                                                                                            "nMinimalPollInterval"));

constexpr CLSID CLSID_CFileSystemCheckActivity = MakeGuid("{9072A8A9-9CC1-4436-81B6-F0E54563365C}");
// The general page, which edits all four properties.
constexpr CLSID CLSID_CFileSystemCheckActivityGeneralPropertyPage = MakeGuid("{BD2CD2F8-7BDA-4D1D-8018-9B592BCB351A}");

class CFileSystemCheckActivity : public IUlPersistStreamT<CFileSystemCheckActivity>,
                                 public IUlPersistStreamInitT<CFileSystemCheckActivity>,
                                 public IUlPersistStorageT<CFileSystemCheckActivity>,
                                 public IUlPersistPropertyBagT<CFileSystemCheckActivity>,
                                 public IUlSpecifyPropertyPagesT<CFileSystemCheckActivity>,
                                 public IConnectionPointContainerImplT<CFileSystemCheckActivity>,
                                 public comrt::IDispatchImplT<IActivity>,
                                 public comrt::IDispatchImplT<IFileSystemCheckActivity>,
                                 public IProvideClassInfoImplT<CFileSystemCheckActivity>,
                                 public ISupportErrorInfoImplT<IActivity, IFileSystemCheckActivity>,
                                 public CBasePersistT<CFileSystemCheckActivity> {
public:
    using Interfaces = InterfaceList<
        InterfaceEntry<IPersist, IPersistStream>, InterfaceEntry<IPersistStream>, InterfaceEntry<IPersistStreamInit>,
        InterfaceEntry<IPersistStorage>, InterfaceEntry<IPersistPropertyBag>, InterfaceEntry<ISpecifyPropertyPages>,
        InterfaceEntry<IConnectionPointContainer>, InterfaceEntry<IActivity>, InterfaceEntry<IDispatch, IActivity>,
        InterfaceEntry<IFileSystemCheckActivity>, InterfaceEntry<IProvideClassInfo>, InterfaceEntry<ISupportErrorInfo>>;

    struct CFileData {
        std::u16string sFileName;
        std::uint64_t nFileSize = 0;
    };
    // A listing: file name to file, in name order (names compare with case, as the file system does).
    using CFileDataMap = std::map<std::u16string, CFileData>;

    // What one scan found against the last known listing.
    struct CChanges {
        std::vector<std::u16string> DeletedFileNameList;
        CFileDataMap UpdatedFileDataMap;
        bool IsEmpty() const noexcept { return DeletedFileNameList.empty() && UpdatedFileDataMap.empty(); }
    };
    // Deleted: known names missing from the listing. Updated: new names, and names whose size moved into
    // another step of nGranularity bytes (with 0, every size change counts).
    static CChanges Compare(const CFileDataMap& Known, const CFileDataMap& Listing, std::uint64_t nGranularity);
    // The size as event bodies write it: bytes up to 0x3FFFFFFF, else kibibytes followed by " K", in the
    // user's number format.
    static std::u16string FormatFileSize(std::uint64_t nFileSize);

    static const CLSID& GetObjectCLSID() { return CLSID_CFileSystemCheckActivity; }

    BEGIN_UL_PROPERTY_MAP(CFileSystemCheckActivity)
    UL_PROPERTY_ENTRY(u"DirectoryPath", 1, CLSID_CFileSystemCheckActivityGeneralPropertyPage, IFileSystemCheckActivity)
    UL_PROPERTY_ENTRY(u"FileNameExpression", 2, CLSID_CFileSystemCheckActivityGeneralPropertyPage,
                      IFileSystemCheckActivity)
    UL_PROPERTY_ENTRY(u"FileSizeGranularity", 3, CLSID_CFileSystemCheckActivityGeneralPropertyPage,
                      IFileSystemCheckActivity)
    UL_PROPERTY_ENTRY(u"MinimalPollInterval", 4, CLSID_CFileSystemCheckActivityGeneralPropertyPage,
                      IFileSystemCheckActivity)
    END_UL_PROPERTY_MAP()

    CFileSystemCheckActivity();
    CFileSystemCheckActivity(const CFileSystemCheckActivity&) = delete;
    CFileSystemCheckActivity& operator=(const CFileSystemCheckActivity&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) override = 0;
    ULONG AddRef() override = 0;
    ULONG Release() override = 0;

    void FinalRelease();

    // IActivity
    HRESULT get_Title(BSTR* psTitle) override;
    HRESULT Start() override;
    HRESULT Stop() override;

    // IFileSystemCheckActivity
    HRESULT get_DirectoryPath(BSTR* psDirectoryPath) override;
    HRESULT put_DirectoryPath(BSTR sDirectoryPath) override;
    HRESULT get_FileNameExpression(BSTR* psFileNameExpression) override;
    HRESULT put_FileNameExpression(BSTR sFileNameExpression) override;
    HRESULT get_FileSizeGranularity(LONG* pnFileSizeGranularity) override;
    HRESULT put_FileSizeGranularity(LONG nFileSizeGranularity) override;
    HRESULT get_MinimalPollInterval(LONG* pnMinimalPollInterval) override;
    HRESULT put_MinimalPollInterval(LONG nMinimalPollInterval) override;

    std::array<CConnectionPoint*, 1> ConnectionPoints() { return {&m_ActivityEventsConnectionPoint}; }

    // While the directory cannot be watched (missing, removed, not readable), the thread looks for it again
    // every MinimalPollInterval, but at least every MISSING_DIRECTORY_INTERVAL and at most every
    // MISSING_DIRECTORY_MINIMAL_INTERVAL milliseconds.
    static constexpr DWORD MISSING_DIRECTORY_INTERVAL = 5000;
    static constexpr DWORD MISSING_DIRECTORY_MINIMAL_INTERVAL = 100;

    // Scans completed since construction, for tests.
    ULONG GetScanCount();

private:
    DWORD ThreadProc(CThreadT<CFileSystemCheckActivity>* pThread, CEvent& InitializationEvent,
                     CEvent& TerminationEvent);
    // One scan of sDirectoryPath: the listing compared with the known one, and the event when anything
    // changed. A directory that is gone counts as empty (its files are reported deleted once) and answers
    // false; other failures raise.
    bool Scan(const std::u16string& sDirectoryPath);
    // The matching files of sDirectoryPath; false when the directory is not there (or is no directory).
    bool GetFileDataMap(const std::u16string& sDirectoryPath, CFileDataMap& FileDataMap);
    void RaiseEvent(const std::u16string& sDirectoryPath, const CChanges& Changes);
    // Starts the worker thread. Thread lock held.
    void StartThread();
    HRESULT GetNumber(const LONG& nValue, LONG* pnValue);
    HRESULT PutNumber(LONG& nValue, LONG nNewValue);

    CUlCriticalSection m_DataCriticalSection;
    CConnectionPoint m_ActivityEventsConnectionPoint;

    // Properties.
    std::u16string m_sDirectoryPath;
    std::u16string m_sFileNameExpression;
    LONG m_nFileSizeGranularity = 65536;
    LONG m_nMinimalPollInterval = 60000;

    std::shared_ptr<const CRegExp> m_pFileNameRegExp;  // null while the expression is empty
    // Empty at construction; kept across Stop and Start and across property changes.
    CFileDataMap m_KnownFileDataMap;
    ULONG m_nScanCount = 0;

    // Guards m_pThread; taken before the data lock, never while holding it.
    CUlCriticalSection m_ThreadCriticalSection;
    CObjectPtrT<CThreadT<CFileSystemCheckActivity>> m_pThread;
};

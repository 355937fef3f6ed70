// From a file change to the event: a file system check activity with MinimalPollInterval 0 watching a folder,
// beside the bare inotify latency measured in the same run (a write into a watched folder until the inotify
// descriptor is readable). Both are timed from just before the write; the activity's figure ends when its
// sink receives the event, so it holds the wake-up, the listing of the folder, the comparison, the event
// record and the delivery. Printed: median and 99th percentile of each, and the difference of the medians.
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "EventRecordClass.h"
#include "FileSystemCheckActivity.h"
#include "comrt/text.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSamples = 400;

// Counts the events it is told of, and wakes a waiter.
class CCountingSink : public IDispatch {
public:
    using Interfaces = InterfaceList<InterfaceEntry<IDispatch>, InterfaceIdEntry<_ActivityEvents::kIid, IDispatch>>;
    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        {
            std::lock_guard Lock(m_Lock);
            ++m_nCount;
        }
        m_Changed.notify_all();
        return S_OK;
    }
    // Waits until more than nCount events have come; false after a second without.
    bool WaitBeyond(unsigned nCount) {
        std::unique_lock Lock(m_Lock);
        return m_Changed.wait_for(Lock, std::chrono::seconds(1), [&] { return m_nCount > nCount; });
    }
    unsigned Count() {
        std::lock_guard Lock(m_Lock);
        return m_nCount;
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    unsigned m_nCount = 0;
};

void WriteFile(const std::filesystem::path& Path, int nSize) {
    std::ofstream(Path, std::ios::binary | std::ios::trunc) << std::string(static_cast<size_t>(nSize), 'x');
}

double Milliseconds(Clock::duration Duration) {
    return std::chrono::duration<double, std::milli>(Duration).count();
}

struct CFigures {
    std::vector<double> Samples;
    double Percentile(double fShare) {
        std::sort(Samples.begin(), Samples.end());
        return Samples.empty() ? 0 : Samples[static_cast<size_t>(fShare * static_cast<double>(Samples.size() - 1))];
    }
};

}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    DWORD nCookie = 0;
    if (FAILED(ServeEventRecordClass(nCookie))) return 1;
    const std::filesystem::path Root =
        std::filesystem::temp_directory_path() / ("hkw-bench-" + std::to_string(getpid()));
    const std::filesystem::path Bare = Root / "bare", Watched = Root / "watched";
    std::filesystem::create_directories(Bare);
    std::filesystem::create_directories(Watched);

    const int nInotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(nInotify, Bare.c_str(), IN_CREATE | IN_DELETE | IN_MOVE | IN_MODIFY);

    CComObjectT<CFileSystemCheckActivity>* pActivity = nullptr;
    CComObjectT<CCountingSink>* pSink = nullptr;
    CComObjectT<CFileSystemCheckActivity>::CreateInstance(&pActivity);
    CComObjectT<CCountingSink>::CreateInstance(&pSink);
    CComQIPtr<IConnectionPointContainer> pContainer(static_cast<IActivity*>(pActivity));
    CComPtr<IConnectionPoint> pConnectionPoint;
    DWORD nSinkCookie = 0;
    pContainer->FindConnectionPoint(IidOf<_ActivityEvents>(), &pConnectionPoint);
    pConnectionPoint->Advise(static_cast<IDispatch*>(pSink), &nSinkCookie);
    const std::u16string sFolder = comrt::ToUtf16(Watched.string());
    BSTR sText = SysAllocString(sFolder.c_str());
    pActivity->put_DirectoryPath(sText);
    SysFreeString(sText);
    sText = SysAllocString(u"\\.dat$");
    pActivity->put_FileNameExpression(sText);
    SysFreeString(sText);
    pActivity->put_MinimalPollInterval(0);
    pActivity->put_FileSizeGranularity(0);
    pActivity->Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    CFigures BareFigures, ActivityFigures;
    char Buffer[4096];
    for (int i = 0; i < kSamples; ++i) {
        // Bare inotify: the write until the descriptor is readable.
        auto Start = Clock::now();
        WriteFile(Bare / "probe.dat", i + 1);
        pollfd Fd{nInotify, POLLIN, 0};
        poll(&Fd, 1, 1000);
        BareFigures.Samples.push_back(Milliseconds(Clock::now() - Start));
        while (read(nInotify, Buffer, sizeof Buffer) > 0) {
        }

        // The activity: the write until the sink has the event.
        const unsigned nCount = pSink->Count();
        Start = Clock::now();
        WriteFile(Watched / "probe.dat", i + 1);
        if (!pSink->WaitBeyond(nCount)) {
            std::fprintf(stderr, "no event for change %d\n", i);
            continue;
        }
        ActivityFigures.Samples.push_back(Milliseconds(Clock::now() - Start));
        // Let the change's further notifications (the write's close) settle before the next sample.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    pActivity->Stop();
    pConnectionPoint->Unadvise(nSinkCookie);
    pConnectionPoint.Release();
    pContainer.Release();
    pActivity->Release();
    pSink->Release();
    close(nInotify);
    std::filesystem::remove_all(Root);

    const double fBareMedian = BareFigures.Percentile(0.5), fActivityMedian = ActivityFigures.Percentile(0.5);
    std::printf("File change to event, %d samples each (ms)\n", kSamples);
    std::printf("  bare inotify             median %.3f  p99 %.3f\n", fBareMedian, BareFigures.Percentile(0.99));
    std::printf("  file system check        median %.3f  p99 %.3f  (%zu events)\n", fActivityMedian,
                ActivityFigures.Percentile(0.99), ActivityFigures.Samples.size());
    std::printf("Median difference: %.3f ms (limit 2)\n", fActivityMedian - fBareMedian);
    CoRevokeClassObject(nCookie);
    CoUninitialize();
    return 0;
}

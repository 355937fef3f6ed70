// The text of every result code the system produces or reports. The texts are written for the people who
// read them in message boxes and logs: one sentence, ending with a period and CR LF, as system message texts
// traditionally end. The one table below is sorted by the code read as an unsigned number, which the
// compile-time check enforces, so a lookup is a binary search.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "comrt/runtime.h"

namespace {

struct MessageEntry {
    std::uint32_t nCode;
    const char16_t* szText;
};

constexpr std::uint32_t Code(HRESULT hr) {
    return static_cast<std::uint32_t>(hr);
}
constexpr std::uint32_t Win32(LONG nError) {
    return static_cast<std::uint32_t>(HRESULT_FROM_WIN32(static_cast<std::uint32_t>(nError)));
}

constexpr MessageEntry kMessages[] = {
    {Code(S_OK), u"The operation completed successfully.\r\n"},

    {Code(E_PENDING), u"The data needed to finish the operation is not available yet.\r\n"},
    {Code(E_BOUNDS), u"The operation tried to reach data outside the valid range.\r\n"},
    {Code(E_NOTIMPL), u"The operation is not implemented.\r\n"},
    {Code(E_NOINTERFACE), u"The object does not support the requested interface.\r\n"},
    {Code(E_POINTER), u"A pointer that is not valid was passed.\r\n"},
    {Code(E_ABORT), u"The operation was aborted.\r\n"},
    {Code(E_FAIL), u"An unspecified failure occurred.\r\n"},
    {Code(E_UNEXPECTED), u"An unexpected failure occurred.\r\n"},

    {Code(RPC_E_SERVERFAULT), u"The server raised a fault while it handled the call.\r\n"},
    {Code(RPC_E_CHANGED_MODE), u"The thread cannot change its concurrency model once it has been set.\r\n"},
    {Code(RPC_E_DISCONNECTED), u"The object has been disconnected from its clients.\r\n"},

    {Code(DISP_E_UNKNOWNINTERFACE), u"The interface identifier passed to the dispatch call is not known.\r\n"},
    {Code(DISP_E_MEMBERNOTFOUND), u"The member was not found.\r\n"},
    {Code(DISP_E_PARAMNOTFOUND), u"The parameter was not found.\r\n"},
    {Code(DISP_E_TYPEMISMATCH), u"The value does not have the type that is required.\r\n"},
    {Code(DISP_E_UNKNOWNNAME), u"The name is not known.\r\n"},
    {Code(DISP_E_NONAMEDARGS), u"The member does not accept named arguments.\r\n"},
    {Code(DISP_E_BADVARTYPE), u"The variant type is not valid.\r\n"},
    {Code(DISP_E_EXCEPTION), u"The called member raised an exception.\r\n"},
    {Code(DISP_E_OVERFLOW), u"The value is outside the range of the target type.\r\n"},
    {Code(DISP_E_BADINDEX), u"The array index is out of bounds.\r\n"},
    {Code(DISP_E_UNKNOWNLCID), u"The locale identifier is not known.\r\n"},
    {Code(DISP_E_ARRAYISLOCKED), u"The array is locked and cannot be changed.\r\n"},
    {Code(DISP_E_BADPARAMCOUNT), u"The number of parameters is not valid.\r\n"},
    {Code(DISP_E_PARAMNOTOPTIONAL), u"A parameter that is required was left out.\r\n"},
    {Code(TYPE_E_LIBNOTREGISTERED), u"The type library is not registered.\r\n"},
    {Code(TYPE_E_ELEMENTNOTFOUND), u"The element was not found in the type information.\r\n"},

    {Code(STG_E_INVALIDFUNCTION), u"The storage function is not valid.\r\n"},
    {Code(STG_E_FILENOTFOUND), u"The storage file could not be found.\r\n"},
    {Code(STG_E_ACCESSDENIED), u"Access to the storage was denied.\r\n"},
    {Code(STG_E_INSUFFICIENTMEMORY), u"There is not enough memory to complete the storage operation.\r\n"},
    {Code(STG_E_INVALIDPOINTER), u"A pointer passed to the storage operation is not valid.\r\n"},
    {Code(STG_E_WRITEFAULT), u"The data could not be written to the storage.\r\n"},
    {Code(STG_E_READFAULT), u"The data could not be read from the storage.\r\n"},
    {Code(STG_E_INVALIDPARAMETER), u"A parameter of the storage operation is not valid.\r\n"},
    {Code(STG_E_MEDIUMFULL), u"There is not enough space left on the storage medium.\r\n"},
    {Code(STG_E_INVALIDHEADER), u"The storage header is not valid.\r\n"},
    {Code(STG_E_INVALIDNAME), u"The storage name is not valid.\r\n"},
    {Code(STG_E_UNKNOWN), u"An unexpected failure occurred in the storage.\r\n"},
    {Code(STG_E_DOCFILECORRUPT), u"The storage data is damaged.\r\n"},

    {Code(CLASS_E_NOAGGREGATION), u"The class cannot be created as part of an aggregate.\r\n"},
    {Code(CLASS_E_CLASSNOTAVAILABLE), u"The class object does not provide the requested class.\r\n"},
    {Code(REGDB_E_READREGDB), u"The registry could not be read.\r\n"},
    {Code(REGDB_E_WRITEREGDB), u"The registry could not be written.\r\n"},
    {Code(REGDB_E_KEYMISSING), u"A registry key could not be found.\r\n"},
    {Code(REGDB_E_CLASSNOTREG), u"The class is not registered.\r\n"},
    {Code(REGDB_E_IIDNOTREG), u"The interface is not registered.\r\n"},
    {Code(MK_E_UNAVAILABLE), u"The requested object is not running.\r\n"},
    {Code(CO_E_NOTINITIALIZED), u"The thread has not entered an apartment.\r\n"},
    {Code(CO_E_ALREADYINITIALIZED), u"The thread has already entered an apartment.\r\n"},
    {Code(CO_E_CLASSSTRING), u"The text is not a valid class identifier or program identifier.\r\n"},
    {Code(CO_E_IIDSTRING), u"The text is not a valid interface identifier.\r\n"},
    {Code(CO_E_DLLNOTFOUND), u"The library of the in-process server could not be found or loaded.\r\n"},
    {Code(CO_E_ERRORINDLL), u"The library of the in-process server is not valid or lacks an entry point.\r\n"},
    {Code(CO_E_OBJNOTCONNECTED), u"The object is not connected to its server.\r\n"},
    {Code(CONNECT_E_NOCONNECTION), u"No connection exists for the given cookie.\r\n"},
    // The interface facility gives this one value two meanings: the connection limit and SELFREG_E_CLASS.
    {Code(CONNECT_E_ADVISELIMIT),
     u"The connection point accepts no further connections, or a class could not be registered.\r\n"},
    {Code(CONNECT_E_CANNOTCONNECT), u"The sink does not support the interface that the connection point calls.\r\n"},
    {Code(CONNECT_E_OVERRIDDEN), u"The connection point is provided by another object.\r\n"},

    {Win32(ERROR_INVALID_FUNCTION), u"The function is not valid.\r\n"},
    {Win32(ERROR_FILE_NOT_FOUND), u"The file could not be found.\r\n"},
    {Win32(ERROR_PATH_NOT_FOUND), u"The path could not be found.\r\n"},
    {Win32(ERROR_TOO_MANY_OPEN_FILES), u"Too many files are open.\r\n"},
    {Win32(ERROR_ACCESS_DENIED), u"Access was denied.\r\n"},
    {Win32(ERROR_INVALID_HANDLE), u"The handle is not valid.\r\n"},
    {Win32(ERROR_NOT_ENOUGH_MEMORY), u"There is not enough memory to carry out the operation.\r\n"},
    {Win32(ERROR_INVALID_DATA), u"The data is not valid.\r\n"},
    {Win32(ERROR_OUTOFMEMORY), u"Memory ran out before the operation could be completed.\r\n"},
    {Win32(ERROR_NO_MORE_FILES), u"There are no more files.\r\n"},
    {Win32(ERROR_BAD_LENGTH), u"The program issued a command but the command length is incorrect.\r\n"},
    {Win32(ERROR_WRITE_FAULT), u"The device could not be written to.\r\n"},
    {Win32(ERROR_READ_FAULT), u"The device could not be read from.\r\n"},
    {Win32(ERROR_NOT_SUPPORTED), u"The request is not supported.\r\n"},
    {Win32(ERROR_INVALID_PARAMETER), u"A parameter is not valid.\r\n"},
    {Win32(ERROR_DISK_FULL), u"There is not enough space on the disk.\r\n"},
    {Win32(ERROR_CALL_NOT_IMPLEMENTED), u"This function is not available on this system.\r\n"},
    {Win32(ERROR_INSUFFICIENT_BUFFER), u"The buffer passed to the call is too small.\r\n"},
    {Win32(ERROR_INVALID_NAME), u"The name is not valid.\r\n"},
    {Win32(ERROR_MOD_NOT_FOUND), u"The library module could not be found.\r\n"},
    {Win32(ERROR_PROC_NOT_FOUND), u"The procedure could not be found in the library.\r\n"},
    {Win32(ERROR_DIR_NOT_EMPTY), u"The directory is not empty.\r\n"},
    {Win32(ERROR_BUSY), u"The resource is in use.\r\n"},
    {Win32(ERROR_ALREADY_EXISTS), u"The file or object already exists.\r\n"},
    {Win32(ERROR_FILE_TOO_LARGE), u"The file is too large for the operation.\r\n"},
    {Win32(ERROR_MORE_DATA), u"More data is available than the buffer can hold.\r\n"},
    {Win32(ERROR_NO_MORE_ITEMS), u"There are no more items.\r\n"},
    {Win32(ERROR_INVALID_FLAGS), u"The flags are not valid.\r\n"},
    {Win32(ERROR_BADDB), u"The registry database is damaged.\r\n"},
    {Win32(ERROR_BADKEY), u"The registry key is not valid.\r\n"},
    {Win32(ERROR_CANTOPEN), u"The registry key could not be opened.\r\n"},
    {Win32(ERROR_CANTREAD), u"The registry key could not be read.\r\n"},
    {Win32(ERROR_CANTWRITE), u"The registry key could not be written.\r\n"},
    {Win32(ERROR_REGISTRY_CORRUPT), u"The registry is damaged.\r\n"},
    {Win32(ERROR_KEY_DELETED), u"The registry key has been marked for deletion.\r\n"},
    {Win32(ERROR_INVALID_SERVICE_CONTROL), u"The control request is not valid for this service.\r\n"},
    {Win32(ERROR_SERVICE_ALREADY_RUNNING), u"The service is already running.\r\n"},
    {Win32(ERROR_SERVICE_DOES_NOT_EXIST), u"The service is not installed.\r\n"},
    {Win32(ERROR_SERVICE_CANNOT_ACCEPT_CTRL), u"The service cannot accept control requests now.\r\n"},
    {Win32(ERROR_SERVICE_NOT_ACTIVE), u"The service is not running.\r\n"},
    {Win32(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT), u"The service could not reach the service manager.\r\n"},
    {Win32(ERROR_SERVICE_SPECIFIC_ERROR), u"The service reported an error of its own.\r\n"},
    {Win32(ERROR_SERVICE_MARKED_FOR_DELETE), u"The service has been marked for deletion.\r\n"},
    {Win32(ERROR_SERVICE_EXISTS), u"The service is already installed.\r\n"},
    {Win32(ERROR_CLASS_ALREADY_EXISTS), u"The window class already exists.\r\n"},
    {Win32(ERROR_TIMEOUT), u"The operation did not finish in the time allowed.\r\n"},
    {Win32(RPC_S_SERVER_UNAVAILABLE), u"The service manager is not available.\r\n"},
    {Win32(WSAEINTR), u"A blocking socket call was interrupted.\r\n"},
    {Win32(WSAEACCES), u"Access to the socket was denied.\r\n"},
    {Win32(WSAEFAULT), u"An address passed to the socket call is not valid.\r\n"},
    {Win32(WSAEINVAL), u"An argument passed to the socket call is not valid.\r\n"},
    {Win32(WSAEWOULDBLOCK), u"The socket operation could not be completed at once.\r\n"},
    {Win32(WSAEMSGSIZE), u"The message is larger than the socket buffer.\r\n"},
    {Win32(WSAEADDRNOTAVAIL), u"The requested network address is not available.\r\n"},
    {Win32(WSAENETDOWN), u"The network is down.\r\n"},
    {Win32(WSAENETUNREACH), u"The network cannot be reached.\r\n"},
    {Win32(WSAECONNABORTED), u"The connection was aborted on this computer.\r\n"},
    {Win32(WSAECONNRESET), u"The connection was closed by the remote host.\r\n"},
    {Win32(WSAENOTCONN), u"The socket is not connected.\r\n"},
    {Win32(WSAESHUTDOWN), u"The socket has been shut down in this direction.\r\n"},
    {Win32(WSAETIMEDOUT), u"The remote host did not answer in time.\r\n"},
    {Win32(WSAECONNREFUSED), u"The remote host refused the connection.\r\n"},
    {Win32(WSAEHOSTUNREACH), u"The remote host cannot be reached.\r\n"},
    {Win32(WSAHOST_NOT_FOUND), u"The host name could not be found.\r\n"},
    {Win32(WSATRY_AGAIN), u"The host name could not be resolved at this time; try again later.\r\n"},
    {Win32(WSANO_DATA), u"The host name is known but has no address of the requested kind.\r\n"},

    {Code(CO_E_SERVER_EXEC_FAILURE), u"The server program could not be started.\r\n"},

    // The system's own failures, each raised by one check.
    {0xA7650044, u"The stored object data holds an array that does not have exactly one dimension.\r\n"},
    {0xA7650050, u"The Mode page works only with exactly one application object.\r\n"},
    {0xA765006D, u"The ping activity page works only with exactly one object.\r\n"},
    {0xA7650095, u"The e-mail notification page works only with exactly one object.\r\n"},
    {0xA76500EE, u"The service could not be installed.\r\n"},
    {0xA765010E, u"The service could not be uninstalled.\r\n"},
    {0xA7650125, u"The full path of the program could not be determined.\r\n"},
    {0xA765012E, u"The Scenarios page works only with exactly one scenario collection.\r\n"},
    {0xA765013C, u"The message template page works only with exactly one object.\r\n"},
    {0xA7650141, u"An element of the scenario collection is not an object reference.\r\n"},
    {0xA7650193, u"The server runs as a service and cannot be terminated by a client.\r\n"},
    {0xA76501A1, u"The application object could not be created.\r\n"},
    {0xA76501DB, u"An unknown exception stopped the server while it started.\r\n"},
    {0xA76501E5, u"A reply line from the mail server does not start with a reply code.\r\n"},
    {0xA76501E7, u"The reply code from the mail server is followed by an unexpected character.\r\n"},
    {0xA76501E9, u"A continuation line from the mail server carries a different reply code.\r\n"},
    {0xA76501FC, u"Only arrays with exactly one dimension can be stored.\r\n"},
    {0xA76501FD, u"The array elements are too large to be stored.\r\n"},
    {0xA765021D, u"The mail server did not ask for the next authentication step.\r\n"},
    {0xA7650223, u"The mail server answered with an unexpected reply code.\r\n"},
    {0xA7650243, u"The array elements have a type that cannot be stored.\r\n"},
    {0xA7650279, u"The Scenario page works only with exactly one scenario.\r\n"},
    {0xA765028F, u"An element of the scenario's notification list is not an object reference.\r\n"},
    {0xA7650300, u"The program could not register itself in the chosen mode.\r\n"},
    {0xA76505D5, u"The property page cannot be shown because its window does not exist.\r\n"},
    {0xA76505E7, u"The property page cannot be moved because its window does not exist.\r\n"},
};

constexpr bool IsStrictlySorted() {
    for (std::size_t i = 1; i < std::size(kMessages); ++i)
        if (kMessages[i - 1].nCode >= kMessages[i].nCode) return false;
    return true;
}
static_assert(IsStrictlySorted(), "the message table must be sorted by code without duplicates");

}  // namespace

std::u16string GetSystemMessage(HRESULT hr) {
    std::uint32_t nCode = static_cast<std::uint32_t>(hr);
    // A bare Win32 error number has the same text as its HRESULT form, as system message lookups treat it.
    if (nCode >= 1 && nCode <= 0xFFFF) nCode = static_cast<std::uint32_t>(HRESULT_FROM_WIN32(nCode));
    const auto* pEnd = std::end(kMessages);
    const auto* pFound = std::lower_bound(std::begin(kMessages), pEnd, nCode,
                                          [](const MessageEntry& e, std::uint32_t n) { return e.nCode < n; });
    if (pFound == pEnd || pFound->nCode != nCode) return {};
    return pFound->szText;
}

std::u16string FormatSystemMessage(HRESULT hr) {
    std::u16string sText = GetSystemMessage(hr);
    std::size_t nLength = sText.size();
    while (nLength > 0) {
        const char16_t c = sText[nLength - 1];
        if (c != u'\t' && c != u'\r' && c != u'\n' && c != u' ' && c != u'.') break;
        --nLength;
    }
    sText.resize(nLength);
    return sText;
}

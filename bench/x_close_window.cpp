// Closes the shown top-level windows of the X server in DISPLAY whose title is TITLE, as a window manager's
// close button does: each gets the WM_DELETE_WINDOW message of the WM_PROTOCOLS it lists (X servers without
// a window manager, as the benchmarks use, have no other way to close a window from outside the program).
// Prints how many it asked; exit status 0 when at least one, 1 when none, 2 on a usage or connection error.
// With -n it only counts them (to wait for a window to be shown).
//
//   x_close_window [-n] TITLE
#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

xcb_atom_t Atom(xcb_connection_t* pConnection, const char* pszName) {
    Reply<xcb_intern_atom_reply_t> pReply(
        xcb_intern_atom_reply(pConnection,
                              xcb_intern_atom(pConnection, 0, static_cast<uint16_t>(std::strlen(pszName)), pszName),
                              nullptr),
        &std::free);
    return pReply ? pReply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The window's text property (WM_NAME or _NET_WM_NAME) as bytes; empty when it has none.
std::string TextProperty(xcb_connection_t* pConnection, xcb_window_t Window, xcb_atom_t Property) {
    Reply<xcb_get_property_reply_t> pReply(
        xcb_get_property_reply(pConnection,
                               xcb_get_property(pConnection, 0, Window, Property, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024),
                               nullptr),
        &std::free);
    if (!pReply || pReply->format != 8) return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(pReply.get())),
                       static_cast<std::size_t>(xcb_get_property_value_length(pReply.get())));
}

bool IsViewable(xcb_connection_t* pConnection, xcb_window_t Window) {
    Reply<xcb_get_window_attributes_reply_t> pReply(
        xcb_get_window_attributes_reply(pConnection, xcb_get_window_attributes(pConnection, Window), nullptr),
        &std::free);
    return pReply && pReply->map_state == XCB_MAP_STATE_VIEWABLE;
}

}  // namespace

int main(int argc, char** argv) {
    const bool bCountOnly = argc == 3 && std::strcmp(argv[1], "-n") == 0;
    if (argc != 2 && !bCountOnly) {
        std::fprintf(stderr, "usage: %s [-n] TITLE\n", argv[0]);
        return 2;
    }
    const char* pszTitle = argv[argc - 1];
    int nScreen = 0;
    xcb_connection_t* pConnection = xcb_connect(nullptr, &nScreen);
    if (xcb_connection_has_error(pConnection) != 0) {
        std::fprintf(stderr, "%s: no X server in DISPLAY\n", argv[0]);
        xcb_disconnect(pConnection);
        return 2;
    }
    const xcb_setup_t* pSetup = xcb_get_setup(pConnection);
    xcb_screen_iterator_t Screens = xcb_setup_roots_iterator(pSetup);
    for (int i = 0; i < nScreen && Screens.rem > 0; ++i) xcb_screen_next(&Screens);
    const xcb_window_t Root = Screens.data->root;
    const xcb_atom_t Protocols = Atom(pConnection, "WM_PROTOCOLS");
    const xcb_atom_t DeleteWindow = Atom(pConnection, "WM_DELETE_WINDOW");
    const xcb_atom_t NetName = Atom(pConnection, "_NET_WM_NAME");
    Reply<xcb_query_tree_reply_t> pTree(xcb_query_tree_reply(pConnection, xcb_query_tree(pConnection, Root), nullptr),
                                        &std::free);
    int nAsked = 0;
    const xcb_window_t* pChildren = pTree ? xcb_query_tree_children(pTree.get()) : nullptr;
    const int nChildren = pTree ? xcb_query_tree_children_length(pTree.get()) : 0;
    for (int i = 0; i < nChildren; ++i) {
        const xcb_window_t Window = pChildren[i];
        if (!IsViewable(pConnection, Window)) continue;
        std::string sTitle = TextProperty(pConnection, Window, NetName);
        if (sTitle.empty()) sTitle = TextProperty(pConnection, Window, XCB_ATOM_WM_NAME);
        if (sTitle != pszTitle) continue;
        ++nAsked;
        if (bCountOnly) continue;
        xcb_client_message_event_t Event{};
        Event.response_type = XCB_CLIENT_MESSAGE;
        Event.format = 32;
        Event.window = Window;
        Event.type = Protocols;
        Event.data.data32[0] = DeleteWindow;
        Event.data.data32[1] = XCB_CURRENT_TIME;
        xcb_send_event(pConnection, 0, Window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&Event));
    }
    xcb_flush(pConnection);
    xcb_disconnect(pConnection);
    std::printf("%d\n", nAsked);
    return nAsked > 0 ? 0 : 1;
}

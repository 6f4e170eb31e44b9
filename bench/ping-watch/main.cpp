// Pings a program's windows (_NET_WM_PING) every 50 ms and reports how long
// its answers took, for the measuring scripts: a program whose event loop is
// held up answers late.
//
//   tovrik-bench-ping-watch PID
//
// Every shown top-level window of PID (by _NET_WM_PID) that lists
// _NET_WM_PING is pinged in turn. On SIGTERM or SIGINT it prints
//   pings <sent> answered <n> max <ms> p99 <ms> unanswered-longest <ms>
// where the last is the longest time a ping still waited for its answer at
// the end (0 when every ping was answered).

#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <poll.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
volatile std::sig_atomic_t g_stop = 0;

xcb_atom_t atom(xcb_connection_t* c, const char* name)
{
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> r(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr), &std::free);
    return r ? r->atom : XCB_NONE;
}

std::vector<uint32_t> property32(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop, xcb_atom_t type)
{
    std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> r(
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, prop, type, 0, 64), nullptr), &std::free);
    if (!r || r->format != 32)
        return {};
    const auto* v = static_cast<const uint32_t*>(xcb_get_property_value(r.get()));
    return std::vector<uint32_t>(v, v + xcb_get_property_value_length(r.get()) / 4);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const uint32_t pid = uint32_t(std::atoi(argv[1]));
    std::signal(SIGTERM, [](int) { g_stop = 1; });
    std::signal(SIGINT, [](int) { g_stop = 1; });
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c))
        return 1;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    // Answers go to the root window with SubstructureNotify (GTK) or
    // StructureNotify (Qt) in their mask.
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS"), ping = atom(c, "_NET_WM_PING"),
                     netPid = atom(c, "_NET_WM_PID");

    std::map<uint32_t, Clock::time_point> waiting; // stamp -> sent
    std::vector<double> answered;
    uint32_t stamp = 1;
    size_t turn = 0;
    auto next = Clock::now();
    while (!g_stop) {
        if (Clock::now() >= next) {
            next += std::chrono::milliseconds(50);
            std::vector<xcb_window_t> targets;
            std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
                xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr), &std::free);
            if (tree) {
                const xcb_window_t* kids = xcb_query_tree_children(tree.get());
                for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
                    const auto pids = property32(c, kids[i], netPid, XCB_ATOM_CARDINAL);
                    const auto names = property32(c, kids[i], protocols, XCB_ATOM_ATOM);
                    if (pids.empty() || pids[0] != pid || std::find(names.begin(), names.end(), ping) == names.end())
                        continue;
                    // Shown windows only: the toolkit's hidden leader window
                    // lists the protocol too, but nothing handles its events.
                    std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
                        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, kids[i]), nullptr), &std::free);
                    if (attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE)
                        targets.push_back(kids[i]);
                }
            }
            if (!targets.empty()) {
                const xcb_window_t w = targets[turn++ % targets.size()];
                xcb_client_message_event_t e{};
                e.response_type = XCB_CLIENT_MESSAGE;
                e.format = 32;
                e.window = w;
                e.type = protocols;
                e.data.data32[0] = ping;
                e.data.data32[1] = stamp;
                e.data.data32[2] = w;
                xcb_send_event(c, 0, w, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&e));
                xcb_flush(c);
                waiting[stamp++] = Clock::now();
            }
        }
        pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
        poll(&p, 1, 5);
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) {
            if ((ev->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto* m = reinterpret_cast<xcb_client_message_event_t*>(ev);
                if (m->type == protocols && m->data.data32[0] == ping) {
                    if (auto it = waiting.find(m->data.data32[1]); it != waiting.end()) {
                        answered.push_back(std::chrono::duration<double, std::milli>(Clock::now() - it->second).count());
                        waiting.erase(it);
                    }
                }
            }
            std::free(ev);
        }
        if (xcb_connection_has_error(c))
            break;
    }
    double longestOpen = 0;
    for (const auto& [s, sent] : waiting)
        longestOpen = std::max(longestOpen, std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    std::sort(answered.begin(), answered.end());
    const double max = answered.empty() ? 0 : answered.back();
    const double p99 = answered.empty() ? 0 : answered[std::min(answered.size() - 1, answered.size() * 99 / 100)];
    std::printf("pings %zu answered %zu max %.1f p99 %.1f unanswered-longest %.1f\n", answered.size() + waiting.size(), answered.size(), max,
                p99, longestOpen);
    xcb_disconnect(c);
    return 0;
}

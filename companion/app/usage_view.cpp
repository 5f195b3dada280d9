#include "companion/app/usage_view.h"

#include "companion/app/app_style.h"
#include "companion/app/localization.h"
#include "companion/engine/korvel_manager.h"
#include "companion/text/figure_text.h"

#include <algorithm>
#include <ctime>

namespace korvel {
namespace {

std::string dayText(int64_t time) {
    const auto t = static_cast<std::time_t>(time);
    std::tm local{};
    localtime_r(&t, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

std::string partLabel(const usage::UsagePart& part) {
    if (part.other) {
        return localized("other");
    }
    return part.label.empty() ? localized("ended, no longer recorded") : part.label;
}

} // namespace

DayBars::DayBars() {
    set_content_height(120);
    set_hexpand(true);
    set_draw_func(sigc::mem_fun(*this, &DayBars::draw));
}

void DayBars::show(usage::TimeSpan cycle,
                   std::vector<std::pair<usage::TimeSpan, ConnectionCounters>> days) {
    cycle_ = cycle;
    days_ = std::move(days);
    queue_draw();
}

void DayBars::draw(const Cairo::RefPtr<Cairo::Context>& cr, int width, int height) const {
    cr->set_source_rgba(0.5, 0.5, 0.5, 0.08);
    cr->rectangle(0, 0, width, height);
    cr->fill();
    std::vector<usage::TimeSpan> slots;
    for (int64_t t = cycle_.start; t < cycle_.end && slots.size() < 62;) {
        slots.push_back(usage::localDay(t));
        t = slots.back().end;
    }
    uint64_t top = 0;
    for (const auto& [day, used] : days_) {
        top = std::max(top, used.bytesIn + used.bytesOut);
    }
    if (slots.empty() || top == 0) {
        return;
    }
    const double slot = static_cast<double>(width) / static_cast<double>(slots.size());
    const double scale = (height - 2) / static_cast<double>(top);
    auto day = days_.begin();
    for (size_t i = 0; i < slots.size(); ++i) {
        while (day != days_.end() && day->first.start < slots[i].start) {
            ++day;
        }
        if (day == days_.end() || day->first.start != slots[i].start) {
            continue;
        }
        const double x = static_cast<double>(i) * slot + 1, w = std::max(slot - 2, 1.0);
        const double in = static_cast<double>(day->second.bytesIn) * scale;
        const double out = static_cast<double>(day->second.bytesOut) * scale;
        cr->set_source_rgb(0.21, 0.52, 0.89);
        cr->rectangle(x, height - in, w, in);
        cr->fill();
        cr->set_source_rgb(0.96, 0.47, 0.0);
        cr->rectangle(x, height - in - out, w, out);
        cr->fill();
    }
}

UsageView::UsageView(std::shared_ptr<KorvelManager> manager, DataUsage& usage)
    : Gtk::Box(Gtk::Orientation::VERTICAL, 8), manager_(std::move(manager)), usage_(usage) {
    style::setAccessibleName(choice_, localized("Network"));
    choice_.set_halign(Gtk::Align::START);
    choice_.property_selected().signal_changed().connect([this] {
        const guint chosen = choice_.get_selected();
        if (!listing_ && chosen < keys_.size() && keys_[chosen] != shown_) {
            shown_ = keys_[chosen];
            showDetail();
        }
    });
    summary_.set_xalign(0);
    summary_.set_wrap(true);
    summary_.set_selectable(true);
    style::setAccessibleName(bars_, localized("Data used each day of the cycle"));
    apps_.set_column_spacing(16);
    apps_.set_row_spacing(4);
    apps_.set_margin_end(8);
    style::setAccessibleName(apps_, localized("Apps"));
    scroll_.set_child(apps_);
    scroll_.set_vexpand(true);
    scroll_.set_policy(Gtk::PolicyType::NEVER, Gtk::PolicyType::AUTOMATIC);
    append(choice_);
    append(summary_);
    append(bars_);
    append(scroll_);
    reads_ = usage_.read.connect([this] { stale_ = true; });
}

UsageView::~UsageView() {
    reads_.disconnect();
}

void UsageView::update() {
    usage_.refresh();
    if (stale_) {
        listNetworks();
        showDetail();
    }
}

void UsageView::showNetwork(const std::string& network) {
    usage_.refresh();
    if (const auto* account = usage_.account(network)) {
        shown_ = account->network.key;
    }
    listNetworks();
    showDetail();
}

void UsageView::listNetworks() {
    std::vector<std::string> keys;
    std::vector<Glib::ustring> names;
    for (const auto& account : usage_.accounts()) {
        const auto& network = account.network;
        keys.push_back(network.key);
        names.push_back(network.ssid && *network.ssid != network.name
                            ? network.name + " (" + *network.ssid + ")"
                            : network.name);
    }
    if (std::find(keys.begin(), keys.end(), shown_) == keys.end()) {
        // The primary network's, until the user chooses.
        const auto& frame = manager_->frame.get();
        const auto* primary = frame && !frame->networks.empty()
                                  ? usage_.account(frame->networks.front().key)
                                  : nullptr;
        shown_ = primary ? primary->network.key : keys.empty() ? "" : keys.front();
    }
    listing_ = true;
    if (keys != keys_) {
        choice_.set_model(Gtk::StringList::create(names));
        keys_ = std::move(keys);
    }
    const auto at = std::find(keys_.begin(), keys_.end(), shown_);
    choice_.set_selected(at == keys_.end() ? GTK_INVALID_LIST_POSITION
                                           : static_cast<guint>(at - keys_.begin()));
    listing_ = false;
}

void UsageView::showDetail() {
    stale_ = false;
    detail_ = (shown_.empty() ? std::nullopt : usage_.detail(shown_)).value_or(DataUsage::Detail{});
    while (Gtk::Widget* child = apps_.get_first_child()) {
        apps_.remove(*child);
    }
    const auto& account = detail_.account;
    if (account.network.key.empty()) {
        summary_.set_text(localized("Nothing recorded yet"));
        bars_.show({}, {});
        return;
    }
    std::string text = dayText(account.span.start) + " – " + dayText(account.span.end - 1) +
                       ":  ↓ " + formatDecimalBytes(account.used.bytesIn) + "  ↑ " +
                       formatDecimalBytes(account.used.bytesOut);
    if (account.plan) {
        text += " · " + formatDecimalBytes(account.counted) + " " + localized("of") + " " +
                formatDecimalBytes(account.plan->capBytes);
    }
    summary_.set_text(text);
    bars_.show(account.span, detail_.days);
    const auto put = [this](const std::string& text, int column, int row) {
        auto* label = Gtk::make_managed<Gtk::Label>(text);
        label->set_xalign(column == 0 ? 0.0f : 1.0f);
        if (column == 0) {
            label->set_hexpand(true);
            label->set_ellipsize(Pango::EllipsizeMode::END);
        }
        if (row == 0) {
            label->add_css_class(style::kCaption);
            label->add_css_class(style::kSecondary);
        }
        apps_.attach(*label, column, row);
    };
    put(localized("App"), 0, 0);
    put(localized("In"), 1, 0);
    put(localized("Out"), 2, 0);
    int row = 1;
    for (const auto& part : detail_.apps) {
        put(partLabel(part), 0, row);
        put(formatDecimalBytes(part.used.bytesIn), 1, row);
        put(formatDecimalBytes(part.used.bytesOut), 2, row++);
    }
}

} // namespace korvel

#include "companion/app/data_plan_controls.h"

#include "companion/app/app_style.h"
#include "companion/app/data_usage.h"
#include "companion/app/localization.h"
#include "companion/usage/data_plan.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace korvel {
namespace {

constexpr double kUnits[] = {1e6, 1e9}; // MB, GB: plans are sold in decimal units
constexpr usage::CountedDirection kDirections[] = {
    usage::CountedDirection::both, usage::CountedDirection::in, usage::CountedDirection::out};

Gtk::SpinButton* spin(double lowest, double highest, guint digits) {
    auto* control = Gtk::make_managed<Gtk::SpinButton>();
    control->set_adjustment(Gtk::Adjustment::create(lowest, lowest, highest, 1, 10));
    control->set_digits(digits);
    control->set_numeric(true);
    return control;
}

bool isPlanOf(const nlohmann::json& item, const usage::NetworkRecord& network) {
    return item.is_object() && item.contains("network") && item["network"].is_string() &&
           network.isNamed(item["network"].get<std::string>());
}

} // namespace

struct DataPlanControls::Row {
    usage::NetworkRecord network;
    Gtk::SpinButton* cap = nullptr;
    Gtk::DropDown* unit = nullptr;
    Gtk::SpinButton* day = nullptr;
    Gtk::SpinButton* warning = nullptr;
    Gtk::DropDown* count = nullptr;
    // The stored cap as shown: kept exact while the field is left alone.
    uint64_t shownCap = 0;
    double shownValue = 0;
    guint shownUnit = 1;
};

DataPlanControls::DataPlanControls(platform::UserDefaults& defaults)
    : Gtk::Box(Gtk::Orientation::VERTICAL, 6), defaults_(defaults),
      networksRead_(
          [this](std::vector<usage::NetworkRecord> networks) { list(std::move(networks)); }) {
    style::setSectionCaption(caption_, localized("Data plans"));
    style::makeCard(card_);
    append(caption_);
    append(card_);
    list({});
    observer_ = defaults_.addObserver(usage::kDataPlansKey, [this](const std::string&) { load(); });
}

DataPlanControls::~DataPlanControls() {
    defaults_.removeObserver(observer_);
}

void DataPlanControls::readNetworks() {
    networksRead_.start(recordedNetworks);
}

std::vector<std::string> DataPlanControls::networks() const {
    std::vector<std::string> keys;
    for (const auto& row : rows_) {
        keys.push_back(row->network.key);
    }
    return keys;
}

Gtk::SpinButton& DataPlanControls::cap(const std::string& key) {
    for (auto& row : rows_) {
        if (row->network.key == key) {
            return *row->cap;
        }
    }
    throw std::out_of_range("no network " + key);
}

void DataPlanControls::list(std::vector<usage::NetworkRecord> networks) {
    const bool same = !rows_.empty() && networks.size() == rows_.size() &&
                      std::equal(networks.begin(), networks.end(), rows_.begin(),
                                 [](const auto& network, const auto& row) {
                                     return network.key == row->network.key &&
                                            network.name == row->network.name &&
                                            network.metered == row->network.metered;
                                 });
    if (same) {
        return; // keeps the focus where the user is typing
    }
    while (Gtk::Widget* child = card_.get_first_child()) {
        card_.remove(*child);
    }
    rows_.clear();
    if (networks.empty()) {
        auto* none = Gtk::make_managed<Gtk::Label>(localized("Nothing recorded yet"));
        none->add_css_class(style::kSecondary);
        none->set_xalign(0);
        none->set_margin(12);
        card_.append(*none);
    }
    for (const auto& network : networks) {
        addRow(network);
    }
    load();
}

void DataPlanControls::addRow(const usage::NetworkRecord& network) {
    auto row = std::make_unique<Row>();
    Row& r = *row;
    r.network = network;
    auto* grid = Gtk::make_managed<Gtk::Grid>();
    grid->set_row_spacing(6);
    grid->set_column_spacing(8);
    auto* name = Gtk::make_managed<Gtk::Label>(network.name);
    name->add_css_class(style::kRowValue);
    name->set_xalign(0);
    name->set_hexpand(true);
    name->set_ellipsize(Pango::EllipsizeMode::END);
    grid->attach(*name, 0, 0);
    std::string about;
    if (network.ssid && *network.ssid != network.name) {
        about = *network.ssid;
    }
    if (network.metered) {
        about += (about.empty() ? "" : " · ") + localized("metered");
    }
    auto* detail = Gtk::make_managed<Gtk::Label>(about);
    detail->add_css_class(style::kSmall);
    detail->add_css_class(style::kSecondary);
    detail->set_xalign(1);
    grid->attach(*detail, 1, 0);

    r.cap = spin(0, 1e6, 2);
    r.unit = Gtk::make_managed<Gtk::DropDown>(std::vector<Glib::ustring>{"MB", "GB"});
    auto* capBox = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 4);
    capBox->append(*r.cap);
    capBox->append(*r.unit);
    r.day = spin(1, 31, 0);
    r.warning = spin(1, 100, 0);
    r.count = Gtk::make_managed<Gtk::DropDown>(std::vector<Glib::ustring>{
        countedText(kDirections[0]), countedText(kDirections[1]), countedText(kDirections[2])});
    const std::pair<const char*, Gtk::Widget*> fields[] = {
        {translatable("Cap (0: no plan)"), capBox},
        {translatable("Cycle starts on day"), r.day},
        {translatable("Warning share (%)"), r.warning},
        {translatable("Count"), r.count}};
    int line = 1;
    for (const auto& [caption, control] : fields) {
        auto* label = Gtk::make_managed<Gtk::Label>(localized(caption));
        label->set_xalign(0);
        label->set_wrap(true);
        label->set_max_width_chars(1);
        label->set_hexpand(true);
        control->set_halign(Gtk::Align::END);
        style::setAccessibleName(*control, network.name + ": " + localized(caption));
        grid->attach(*label, 0, line);
        grid->attach(*control, 1, line++);
    }
    style::appendCardRow(card_, *grid);

    const auto changed = [this, &r] {
        if (!loading_) {
            store(r);
        }
    };
    for (Gtk::SpinButton* field : {r.cap, r.day, r.warning}) {
        field->signal_value_changed().connect(changed);
    }
    r.unit->property_selected().signal_changed().connect(changed);
    r.count->property_selected().signal_changed().connect(changed);
    rows_.push_back(std::move(row));
}

void DataPlanControls::load() {
    loading_ = true;
    const auto plans = usage::plansFrom(defaults_.object(usage::kDataPlansKey).value_or(nullptr));
    for (auto& row : rows_) {
        const auto plan = usage::planFor(plans, row->network).value_or(usage::DataPlan{});
        const auto cap = static_cast<double>(plan.capBytes);
        // GB where it stays exact to the hundredth, and for a new plan.
        row->shownUnit = plan.capBytes == 0 ||
                         (plan.capBytes >= 1'000'000'000 && plan.capBytes % 10'000'000 == 0);
        row->shownCap = plan.capBytes;
        row->shownValue = cap / kUnits[row->shownUnit];
        row->unit->set_selected(row->shownUnit);
        row->cap->set_value(row->shownValue);
        row->shownValue = row->cap->get_value(); // as the field rounded it
        row->day->set_value(plan.cycleStartDay);
        row->warning->set_value(plan.warningPercent);
        const auto* direction =
            std::find(std::begin(kDirections), std::end(kDirections), plan.count);
        row->count->set_selected(static_cast<guint>(direction - std::begin(kDirections)));
        for (Gtk::Widget* field :
             std::initializer_list<Gtk::Widget*>{row->day, row->warning, row->count}) {
            field->set_sensitive(plan.capBytes > 0);
        }
    }
    loading_ = false;
}

void DataPlanControls::store(const Row& row) {
    const guint unit = std::min<guint>(row.unit->get_selected(), 1);
    const double value = row.cap->get_value();
    usage::DataPlan plan;
    plan.capBytes = value == row.shownValue && unit == row.shownUnit
                        ? row.shownCap
                        : static_cast<uint64_t>(std::llround(value * kUnits[unit]));
    plan.cycleStartDay = row.day->get_value_as_int();
    plan.warningPercent = row.warning->get_value_as_int();
    plan.count = kDirections[std::min<guint>(row.count->get_selected(), 2)];
    plan.network = row.network.key;

    auto stored = defaults_.object(usage::kDataPlansKey).value_or(nlohmann::json::array());
    if (!stored.is_array()) {
        stored = nlohmann::json::array();
    }
    nlohmann::json plans = nlohmann::json::array();
    bool placed = false;
    for (const auto& item : stored) {
        if (!isPlanOf(item, row.network)) {
            plans.push_back(item);
        } else if (!placed) {
            // In its place, under the name the user gave it.
            plan.network = item["network"].get<std::string>();
            if (plan.capBytes > 0) {
                plans.push_back(usage::plansJson({plan})[0]);
            }
            placed = true;
        }
    }
    if (!placed && plan.capBytes > 0) {
        plans.push_back(usage::plansJson({plan})[0]);
    }
    defaults_.set(usage::kDataPlansKey, std::move(plans));
}

} // namespace korvel

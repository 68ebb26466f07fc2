// The window's views, built once: the Host row, the direction switch, the
// two file panes with the arrow between them, and the footer with the
// backup option, the progress row and the execute button.

#include "Platform/AppKit/AppKitLayout.h"
#include "VelantrixProfiles/FileTransferWindow/FileTransferWindowController.h"
#include "VelantrixProfiles/Localization/VelantrixL10n.h"

using namespace platform;

namespace {

constexpr double kSmallSystemFontSize = 11;
constexpr double kSystemFontSize = 13;

std::shared_ptr<View> hStack(double spacing, View::Alignment alignment) {
    auto stack = View::stack(View::Orientation::horizontal, {});
    stack->spacing = spacing;
    stack->alignment = alignment;
    return stack;
}

std::shared_ptr<View> vStack(double spacing, View::Alignment alignment) {
    auto stack = View::stack(View::Orientation::vertical, {});
    stack->spacing = spacing;
    stack->alignment = alignment;
    return stack;
}

// A view that takes what space is left over and gives it up first.
std::shared_ptr<View> spacer() {
    auto view = View::plain();
    view->horizontalContentHugging = 250;
    view->horizontalCompressionResistance = 250;
    return view;
}

std::shared_ptr<View> smallSecondaryLabel(std::string text, View::LineBreakMode lineBreak) {
    auto label = View::label(std::move(text));
    label->font = Font::system(kSmallSystemFontSize);
    label->textColor = Color::secondaryLabel;
    label->lineBreakMode = lineBreak;
    return label;
}

std::shared_ptr<LayoutConstraint> widthEqual(const std::shared_ptr<View>& view, double width) {
    return LayoutConstraint::size(view, LayoutAttribute::width, LayoutRelation::equal, width);
}

std::shared_ptr<LayoutConstraint> sameWidth(const std::shared_ptr<View>& view, const std::shared_ptr<View>& other,
                                            double constant = 0) {
    return LayoutConstraint::between(view, LayoutAttribute::width, LayoutRelation::equal, other,
                                     LayoutAttribute::width, constant);
}

}  // namespace

void FileTransferWindowController::bindAction(View& control, const std::string& name,
                                              void (FileTransferWindowController::*method)()) {
    std::weak_ptr<FileTransferWindowController> weak = weak_from_this();
    control.actionName = name;
    control.action = [weak, method](View&) {
        if (auto self = weak.lock()) (self.get()->*method)();
    };
}

void FileTransferWindowController::buildUI() {
    const auto& window = this->window();
    if (!window || !window->contentView) return;
    const auto content = window->contentView;
    using L10n = VelantrixL10n;

    auto root = vStack(10, View::Alignment::leading);
    root->edgeInsets = View::EdgeInsets{16, 20, 14, 20};
    root->translatesAutoresizingMaskIntoConstraints = false;
    content->addSubview(root);
    LayoutConstraint::activate(LayoutConstraint::pinEdges(root, content));

    // Host row.
    auto hostRow = hStack(8, View::Alignment::centerY);
    auto hostLabel = View::label(L10n::text("fileTransfer.hostLabel", "Host:"));
    hostLabel->font = Font::system(13, FontWeight::medium);
    hostRow->addSubview(hostLabel);
    views_.hostSelector = View::popUpButton();
    bindAction(*views_.hostSelector, "hostSelectionChanged", &FileTransferWindowController::hostSelectionChanged);
    hostRow->addSubview(views_.hostSelector);
    auto refresh = View::button(L10n::text("fileTransfer.refresh", "Refresh"), nullptr);
    bindAction(*refresh, "refreshClicked", &FileTransferWindowController::refreshClicked);
    refresh->bezelStyle = 1;
    refresh->controlSize = View::ControlSize::small;
    hostRow->addSubview(refresh);
    root->addSubview(hostRow);

    // Direction switch.
    views_.directionControl = SegmentedControl::make(
        {L10n::text("fileTransfer.sendToHost", "\u2192 Send to Host"),
         L10n::text("fileTransfer.receiveFromHost", "\u2190 Receive from Host")},
        SegmentedControl::TrackingMode::selectOne, nullptr);
    bindAction(*views_.directionControl, "directionChanged", &FileTransferWindowController::directionChanged);
    views_.directionControl->selectedSegment = 0;
    root->addSubview(views_.directionControl);

    // Pane row: left pane, arrow, right pane.
    auto paneRow = hStack(0, View::Alignment::centerY);
    paneRow->translatesAutoresizingMaskIntoConstraints = false;
    root->addSubview(paneRow);
    LayoutConstraint::activate({sameWidth(paneRow, content, -40),
                                LayoutConstraint::size(paneRow, LayoutAttribute::height, LayoutRelation::equal, 380)});

    struct Side {
        const char* titleKey;
        const char* titleDefault;
        bool showsFolderAccess;
        std::shared_ptr<OutlineView>& outline;
        std::shared_ptr<View>& selectAll;
        std::shared_ptr<View>& status;
        std::shared_ptr<View>& title;
        const char* selectAllAction;
        void (FileTransferWindowController::*selectAllMethod)();
    };
    Side left{"fileTransfer.viewerSource", "Viewer (Source)", true, views_.leftOutlineView, views_.leftTopCheckbox,
              views_.leftStatusLabel, views_.leftTitleLabel, "leftSelectAllClicked",
              &FileTransferWindowController::leftSelectAllClicked};
    Side right{"fileTransfer.hostDestination", "Host (Destination)", false, views_.rightOutlineView,
               views_.rightTopCheckbox, views_.rightStatusLabel, views_.rightTitleLabel, "rightSelectAllClicked",
               &FileTransferWindowController::rightSelectAllClicked};
    auto addPane = [&](Side& side) {
        auto pane = buildFilePane(L10n::text(side.titleKey, side.titleDefault), true, side.showsFolderAccess);
        side.outline = pane.outlineView;
        if (pane.selectAllControl->kind == View::Kind::checkbox) side.selectAll = pane.selectAllControl;
        side.status = pane.statusLabel;
        side.title = pane.titleLabel;
        side.outline->dataSource = weak_from_this();
        side.outline->delegate = weak_from_this();
        if (side.selectAll) {
            side.selectAll->text = L10n::text("fileTransfer.selectAll", "Select All");
            bindAction(*side.selectAll, side.selectAllAction, side.selectAllMethod);
        }
        paneRow->addSubview(pane.container);
        LayoutConstraint::activate({widthEqual(pane.container, 405)});
    };
    addPane(left);

    auto arrowView = View::plain();
    arrowView->translatesAutoresizingMaskIntoConstraints = false;
    auto arrow = View::label("");
    arrow->font = Font::system(20);
    arrow->textAlignment = TextAlignment::center;
    arrow->translatesAutoresizingMaskIntoConstraints = false;
    arrow->tag = 999;
    arrowView->addSubview(arrow);
    LayoutConstraint::activate(
        {LayoutConstraint::between(arrow, LayoutAttribute::centerX, LayoutRelation::equal, arrowView, LayoutAttribute::centerX),
         LayoutConstraint::between(arrow, LayoutAttribute::centerY, LayoutRelation::equal, arrowView, LayoutAttribute::centerY)});
    paneRow->addSubview(arrowView);
    LayoutConstraint::activate({widthEqual(arrowView, 50)});

    addPane(right);

    // Footer: options row, progress, execute button.
    auto footer = vStack(8, View::Alignment::centerX);
    root->addSubview(footer);
    LayoutConstraint::activate({sameWidth(footer, content, -40)});

    auto options = hStack(12, View::Alignment::centerY);
    views_.backupCheckbox =
        View::checkbox(L10n::text("fileTransfer.backupBeforeOverwrite", "Back up items before replacing them"), nullptr);
    bindAction(*views_.backupCheckbox, "backupToggled", &FileTransferWindowController::backupToggled);
    views_.backupCheckbox->font = Font::system(11);
    options->addSubview(views_.backupCheckbox);
    views_.transferSummaryLabel = smallSecondaryLabel("", View::LineBreakMode::truncatingTail);
    views_.transferSummaryLabel->horizontalContentHugging = 250;
    views_.transferSummaryLabel->horizontalCompressionResistance = 250;
    options->addSubview(views_.transferSummaryLabel);
    options->addSubview(spacer());
    footer->addSubview(options);
    LayoutConstraint::activate({sameWidth(options, footer)});

    views_.progressStack = vStack(6, View::Alignment::centerX);
    views_.transferStatusLabel = smallSecondaryLabel(
        L10n::text("fileTransfer.ready", "Select files and a destination to prepare a copy."),
        View::LineBreakMode::truncatingMiddle);
    views_.transferStatusLabel->textAlignment = TextAlignment::center;
    views_.progressStack->addSubview(views_.transferStatusLabel);
    LayoutConstraint::activate({LayoutConstraint::size(views_.transferStatusLabel, LayoutAttribute::width,
                                                       LayoutRelation::lessThanOrEqual, 760)});
    views_.transferProgressRow = hStack(10, View::Alignment::centerY);
    views_.transferProgressIndicator = ProgressIndicator::make();
    views_.transferProgressIndicator->translatesAutoresizingMaskIntoConstraints = false;
    views_.transferProgressRow->addSubview(views_.transferProgressIndicator);
    LayoutConstraint::activate({widthEqual(views_.transferProgressIndicator, 600)});
    views_.cancelTransferButton = View::button(L10n::text("common.cancel", "Cancel"), nullptr);
    bindAction(*views_.cancelTransferButton, "cancelActiveTransfer", &FileTransferWindowController::cancelActiveTransfer);
    views_.cancelTransferButton->horizontalContentHugging = 1000;
    views_.transferProgressRow->addSubview(views_.cancelTransferButton);
    views_.transferProgressRow->isHidden = true;
    views_.progressStack->addSubview(views_.transferProgressRow);
    footer->addSubview(views_.progressStack);

    views_.executeButton = View::button(L10n::text("fileTransfer.copySelected", "Copy Selected Items"), nullptr);
    bindAction(*views_.executeButton, "executeTransfer", &FileTransferWindowController::executeTransfer);
    views_.executeButton->bezelStyle = 1;
    views_.executeButton->font = Font::system(16, FontWeight::bold);
    views_.executeButton->contentTintColor = Color::systemRed;
    // GCC 12 at -O3 warns of an overlapping copy inside std::string's
    // assignment of a one-character literal: its -Wrestrict false positive
    // (GCC bug 105329).
#pragma GCC diagnostic push
#if !defined(__clang__)  // a warning only GCC has
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
    views_.executeButton->keyEquivalent = "\r";
#pragma GCC diagnostic pop
    views_.executeButton->isEnabled = false;
    views_.executeButton->horizontalContentHugging = 1000;
    footer->addSubview(views_.executeButton);

    updateArrowLabel();
}

FileTransferWindowController::FilePane FileTransferWindowController::buildFilePane(const std::string& label,
                                                                                   bool hasCheckbox,
                                                                                   bool showsFolderAccess) {
    FilePane pane;
    pane.container = View::plain();
    pane.container->translatesAutoresizingMaskIntoConstraints = false;
    auto stack = vStack(4, View::Alignment::leading);
    stack->translatesAutoresizingMaskIntoConstraints = false;

    pane.titleLabel = View::label(label);
    pane.titleLabel->font = Font::system(kSystemFontSize, FontWeight::semibold);
    auto header = hStack(8, View::Alignment::centerY);
    header->addSubview(pane.titleLabel);
    if (showsFolderAccess) {
        header->addSubview(spacer());
        auto access = View::button(VelantrixL10n::text("fileTransfer.grantFolderAccess", "Grant Folder Access…"), nullptr);
        access->toolTip = VelantrixL10n::text("fileTransfer.grantFolderAccessTooltip",
                                              "Allow File Transfer to browse and transfer files in a folder you choose.");
        bindAction(*access, "addLocalFolder", &FileTransferWindowController::addLocalFolder);
        access->bezelStyle = 1;
        access->controlSize = View::ControlSize::small;
        access->font = Font::system(kSmallSystemFontSize);
        header->addSubview(access);
    }
    stack->addSubview(header);
    LayoutConstraint::activate({sameWidth(header, stack)});

    pane.outlineView = OutlineView::make();
    auto& outline = *pane.outlineView;
    outline.hasHeaderView = true;
    outline.rowHeight = 22;
    outline.indentationPerLevel = 16;
    outline.allowsMultipleSelection = true;
    outline.autoresizesOutlineColumn = false;
    std::weak_ptr<FileTransferWindowController> weak = weak_from_this();
    outline.doubleActionName = "outlineViewDoubleClicked:";
    outline.doubleAction = [weak](View& sender) {
        if (auto self = weak.lock()) self->outlineViewDoubleClicked(sender);
    };
    static constexpr struct {
        const char* identifier;
        const char* titleKey;
        const char* titleDefault;
        double width;
        const char* sortKey;
    } kColumns[] = {{"files", nullptr, nullptr, 400, "name"},
                    {"date", "fileTransfer.colDate", "Date Modified", 150, "modificationDate"},
                    {"size", "fileTransfer.colSize", "Size", 90, "size"},
                    {"kind", "fileTransfer.colKind", "Kind", 110, "kind"}};
    for (const auto& entry : kColumns) {
        auto column = std::make_shared<TableColumn>(entry.identifier);
        if (entry.titleKey) column->title = VelantrixL10n::text(entry.titleKey, entry.titleDefault);
        column->width = entry.width;
        column->sortDescriptorPrototype = SortDescriptor{entry.sortKey, true};
        outline.addTableColumn(column);
        if (!outline.outlineTableColumn) outline.outlineTableColumn = column;
    }

    auto scroll = ScrollView::make();
    scroll->hasVerticalScroller = true;
    scroll->setDocumentView(pane.outlineView);
    scroll->translatesAutoresizingMaskIntoConstraints = false;

    auto footer = hStack(8, View::Alignment::centerY);
    pane.selectAllControl = hasCheckbox ? View::checkbox("", nullptr) : View::label("");
    pane.selectAllControl->translatesAutoresizingMaskIntoConstraints = false;
    footer->addSubview(pane.selectAllControl);
    pane.statusLabel = smallSecondaryLabel("", View::LineBreakMode::truncatingTail);
    footer->addSubview(pane.statusLabel);

    stack->addSubview(scroll);
    stack->addSubview(footer);
    pane.container->addSubview(stack);
    auto pins = LayoutConstraint::pinEdges(stack, pane.container);
    pins.push_back(LayoutConstraint::size(scroll, LayoutAttribute::height, LayoutRelation::greaterThanOrEqual, 200));
    LayoutConstraint::activate(pins);
    return pane;
}

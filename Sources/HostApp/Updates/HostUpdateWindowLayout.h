#pragma once
// What the two update windows share: how the window floats and stays,
// their centred labels and icon, and one centred column of views, each a
// fixed distance below the one above it.

#include <memory>
#include <string>
#include <vector>

#include "Platform/AppKit/AppKitLayout.h"

struct HostUpdateWindowLayout {
    using Constraints = std::vector<std::shared_ptr<platform::LayoutConstraint>>;
    using ViewRef = std::shared_ptr<platform::View>;

    // Floating, on every Space beside full-screen windows (raw value 258),
    // kept when closed and while the application is inactive, centred.
    static void configureWindow(platform::Window& window, std::string title) {
        window.title = std::move(title);
        window.isReleasedWhenClosed = false;
        window.setLevel(platform::kFloatingWindowLevel);
        window.setCollectionBehavior(258);
        window.hidesOnDeactivate = false;
        window.center();
    }

    // The application icon, 48 x 48, scaled down only.
    static ViewRef applicationIcon() {
        auto icon = platform::View::image("NSApplicationIcon", {48, 48});
        icon->scalesProportionallyDown = true;
        return icon;
    }

    // A centred label in the given font and colour.
    static void styleLabel(platform::View& label, platform::Font font, platform::Color color, int maximumLines = 1) {
        label.font = font;
        label.textColor = color;
        label.textAlignment = platform::TextAlignment::center;
        label.maximumNumberOfLines = maximumLines;
    }

    // `view` centred in `content`, `spacing` below the bottom of `above`
    // (below the content's top when `above` is the content), and at least
    // `sideMargin` from both sides when one is given.
    static Constraints centredBelow(const ViewRef& view, const ViewRef& content, const ViewRef& above, double spacing,
                                    double sideMargin = -1) {
        using platform::LayoutAttribute;
        using platform::LayoutConstraint;
        using platform::LayoutRelation;
        Constraints c{
            LayoutConstraint::between(view, LayoutAttribute::top, LayoutRelation::equal, above,
                                      above == content ? LayoutAttribute::top : LayoutAttribute::bottom, spacing),
            LayoutConstraint::between(view, LayoutAttribute::centerX, LayoutRelation::equal, content,
                                      LayoutAttribute::centerX)};
        if (sideMargin >= 0) {
            c.push_back(LayoutConstraint::between(view, LayoutAttribute::leading, LayoutRelation::greaterThanOrEqual,
                                                  content, LayoutAttribute::leading, sideMargin));
            c.push_back(LayoutConstraint::between(view, LayoutAttribute::trailing, LayoutRelation::lessThanOrEqual,
                                                  content, LayoutAttribute::trailing, -sideMargin));
        }
        return c;
    }

    // A width or height.
    static std::shared_ptr<platform::LayoutConstraint> size(const ViewRef& view, platform::LayoutAttribute attribute,
                                                            double constant,
                                                            platform::LayoutRelation relation =
                                                                platform::LayoutRelation::equal) {
        return platform::LayoutConstraint::size(view, attribute, relation, constant);
    }

    // Activates every group together.
    static void activate(std::initializer_list<Constraints> groups) {
        Constraints all;
        for (const auto& group : groups) all.insert(all.end(), group.begin(), group.end());
        platform::LayoutConstraint::activate(all);
    }
};

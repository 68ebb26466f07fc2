#pragma once
// Layout constraints of the headless AppKit model. Nothing is laid out: an
// activated constraint is recorded on its first item, so that tests can read
// the widths, heights and pins a window asks for.

#include <memory>
#include <optional>
#include <vector>

#include "Platform/AppKit/AppKitWindow.h"

namespace platform {

enum class LayoutAttribute { leading, trailing, top, bottom, width, height, centerX, centerY };
enum class LayoutRelation { equal, lessThanOrEqual, greaterThanOrEqual };

struct LayoutConstraint {
    // Items are held weakly: a view owns the constraints it is first in.
    std::weak_ptr<View> firstItem;
    LayoutAttribute firstAttribute = LayoutAttribute::width;
    LayoutRelation relation = LayoutRelation::equal;
    // Absent for a constant size.
    std::weak_ptr<View> secondItem;
    std::optional<LayoutAttribute> secondAttribute;
    double constant = 0;
    bool isActive = false;

    // first.attribute relation second.attribute + constant.
    static std::shared_ptr<LayoutConstraint> between(const std::shared_ptr<View>& first, LayoutAttribute attribute,
                                                     LayoutRelation relation, const std::shared_ptr<View>& second,
                                                     LayoutAttribute secondAttribute, double constant = 0);
    // first.attribute relation constant (a width or height).
    static std::shared_ptr<LayoutConstraint> size(const std::shared_ptr<View>& view, LayoutAttribute attribute,
                                                  LayoutRelation relation, double constant);
    // The four edges of `view` equal to those of `container`.
    static std::vector<std::shared_ptr<LayoutConstraint>> pinEdges(const std::shared_ptr<View>& view,
                                                                   const std::shared_ptr<View>& container);
    // Activates them together, recording each on its first item.
    static void activate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints);
};

// The first active constraint of `view` on `attribute`, optionally only one
// against another item's `secondAttribute`.
std::shared_ptr<LayoutConstraint> activeConstraint(const View& view, LayoutAttribute attribute,
                                                   std::optional<LayoutAttribute> secondAttribute = std::nullopt);

}  // namespace platform

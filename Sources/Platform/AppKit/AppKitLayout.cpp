#include "Platform/AppKit/AppKitLayout.h"

namespace platform {

std::shared_ptr<LayoutConstraint> LayoutConstraint::between(const std::shared_ptr<View>& first,
                                                            LayoutAttribute attribute, LayoutRelation relation,
                                                            const std::shared_ptr<View>& second,
                                                            LayoutAttribute secondAttribute, double constant) {
    auto c = size(first, attribute, relation, constant);
    c->secondItem = second;
    c->secondAttribute = secondAttribute;
    return c;
}

std::shared_ptr<LayoutConstraint> LayoutConstraint::size(const std::shared_ptr<View>& view, LayoutAttribute attribute,
                                                         LayoutRelation relation, double constant) {
    auto c = std::make_shared<LayoutConstraint>();
    c->firstItem = view;
    c->firstAttribute = attribute;
    c->relation = relation;
    c->constant = constant;
    return c;
}

std::vector<std::shared_ptr<LayoutConstraint>> LayoutConstraint::pinEdges(const std::shared_ptr<View>& view,
                                                                          const std::shared_ptr<View>& container) {
    std::vector<std::shared_ptr<LayoutConstraint>> out;
    for (auto edge : {LayoutAttribute::leading, LayoutAttribute::trailing, LayoutAttribute::top, LayoutAttribute::bottom})
        out.push_back(between(view, edge, LayoutRelation::equal, container, edge));
    return out;
}

void LayoutConstraint::activate(const std::vector<std::shared_ptr<LayoutConstraint>>& constraints) {
    for (const auto& c : constraints) {
        auto first = c->firstItem.lock();
        if (!first || c->isActive) continue;
        c->isActive = true;
        first->constraints.push_back(c);
    }
}

std::shared_ptr<LayoutConstraint> activeConstraint(const View& view, LayoutAttribute attribute,
                                                   std::optional<LayoutAttribute> secondAttribute) {
    for (const auto& c : view.constraints)
        if (c->isActive && c->firstAttribute == attribute && (!secondAttribute || c->secondAttribute == secondAttribute))
            return c;
    return nullptr;
}

}  // namespace platform

#pragma once
// UIScrollView: a view whose bounds origin is the scrolled content offset. Scrolling by touch
// is left to the host; the properties are kept for it.

#include "Foundation/Export.h"
#include "UIKit/UIView.h"

class BD_EXPORT UIScrollView : public UIView {
  public:
    // -initWithFrame: [main-thread] returns the view or null
    [[nodiscard]] UIScrollView* initWithFrame(CGRect frame) override;

    // [main-thread]
    virtual bool isScrollEnabled() { return _scrollEnabled; }
    virtual void setScrollEnabled(bool scrollEnabled);
    virtual bool bounces() { return _bounces; }
    virtual void setBounces(bool bounces);
    virtual bool showsVerticalScrollIndicator() { return _showsVerticalScrollIndicator; }
    virtual void setShowsVerticalScrollIndicator(bool showsVerticalScrollIndicator);
    virtual bool showsHorizontalScrollIndicator() { return _showsHorizontalScrollIndicator; }
    virtual void setShowsHorizontalScrollIndicator(bool showsHorizontalScrollIndicator);
    virtual CGSize contentSize() { return _contentSize; }
    virtual void setContentSize(CGSize contentSize);
    // -contentOffset: the bounds origin
    virtual CGPoint contentOffset();
    virtual void setContentOffset(CGPoint contentOffset);
    // -setContentOffset:animated: (moves at once)
    virtual void setContentOffset(CGPoint contentOffset, bool animated);

  private:
    bool _scrollEnabled = true;
    bool _bounces = true;
    bool _showsVerticalScrollIndicator = true;
    bool _showsHorizontalScrollIndicator = true;
    CGSize _contentSize = {};
};

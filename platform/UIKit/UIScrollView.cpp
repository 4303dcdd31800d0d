#include "UIKit/UIScrollView.h"

UIScrollView* UIScrollView::initWithFrame(CGRect frame) {
    return static_cast<UIScrollView*>(UIView::initWithFrame(frame));
}

void UIScrollView::setScrollEnabled(bool scrollEnabled) {
    BD_ASSERT_MAIN_THREAD();
    _scrollEnabled = scrollEnabled;
}
void UIScrollView::setBounces(bool bounces) {
    BD_ASSERT_MAIN_THREAD();
    _bounces = bounces;
}
void UIScrollView::setShowsVerticalScrollIndicator(bool showsVerticalScrollIndicator) {
    BD_ASSERT_MAIN_THREAD();
    _showsVerticalScrollIndicator = showsVerticalScrollIndicator;
}
void UIScrollView::setShowsHorizontalScrollIndicator(bool showsHorizontalScrollIndicator) {
    BD_ASSERT_MAIN_THREAD();
    _showsHorizontalScrollIndicator = showsHorizontalScrollIndicator;
}
void UIScrollView::setContentSize(CGSize contentSize) {
    BD_ASSERT_MAIN_THREAD();
    _contentSize = contentSize;
}
CGPoint UIScrollView::contentOffset() {
    return bounds().origin;
}
void UIScrollView::setContentOffset(CGPoint contentOffset) {
    BD_ASSERT_MAIN_THREAD();
    CGRect b = bounds();
    b.origin = contentOffset;
    setBounds(b);
}
void UIScrollView::setContentOffset(CGPoint contentOffset, bool animated) {
    (void)animated;
    setContentOffset(contentOffset);
}

/*
 * list.h - intrusive, circular, doubly linked list.
 *
 * A list is a head node whose next/prev point at itself when empty.  An
 * entry embeds a list_head; list_entry() gets back the containing record.
 * Header-only, no allocation; callers provide the locking.
 */
#ifndef TVR_LIST_H
#define TVR_LIST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

struct list_head {
    struct list_head *next;
    struct list_head *prev;
};

static inline void INIT_LIST_HEAD(struct list_head *head)
{
    head->next = head;
    head->prev = head;
}

static inline int list_empty(const struct list_head *head)
{
    return head->next == head;
}

/* Appends entry at the tail of the list headed by head. */
static inline void list_add_tail(struct list_head *entry, struct list_head *head)
{
    struct list_head *last = head->prev;
    entry->next = head;
    entry->prev = last;
    last->next = entry;
    head->prev = entry;
}

/* Unlinks entry; its links are left dangling (null). */
static inline void list_del(struct list_head *entry)
{
    entry->prev->next = entry->next;
    entry->next->prev = entry->prev;
    entry->next = NULL;
    entry->prev = NULL;
}

/* Unlinks entry and makes it an empty list of its own. */
static inline void list_del_init(struct list_head *entry)
{
    entry->prev->next = entry->next;
    entry->next->prev = entry->prev;
    INIT_LIST_HEAD(entry);
}

#define list_entry(ptr, type, member) \
    ((type *)((char *)(ptr) - offsetof(type, member)))

#define list_first_entry(head, type, member) list_entry((head)->next, type, member)

/* Iterates; pos may not be unlinked inside the body. */
#define list_for_each(pos, head) \
    for ((pos) = (head)->next; (pos) != (head); (pos) = (pos)->next)

/* Iterates safely against unlinking of pos; n is scratch. */
#define list_for_each_safe(pos, n, head) \
    for ((pos) = (head)->next, (n) = (pos)->next; (pos) != (head); \
         (pos) = (n), (n) = (pos)->next)

#ifdef __cplusplus
}
#endif

#endif /* TVR_LIST_H */

// Intrusive circular doubly linked lists shared by the platform layer and its users.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct PalListEntry {
    struct PalListEntry* next;
    struct PalListEntry* prev;
} PalListEntry;

// Links of an unlinked node are poisoned so a stale use faults at a recognisable address.
#define PAL_LIST_POISON_NEXT ((PalListEntry*)0x100100)
#define PAL_LIST_POISON_PREV ((PalListEntry*)0x200200)

// The record holding a list entry, from the entry's address.
#define PAL_LIST_RECORD(entry, type, field) ((type*)((char*)(entry)-offsetof(type, field)))

static inline void palListInit(PalListEntry* head) {
    head->next = head;
    head->prev = head;
}

static inline int palListIsEmpty(const PalListEntry* head) { return head->next == head; }

// Links node directly behind position (position may be the head: then node becomes the front).
static inline void palListInsertAfter(PalListEntry* position, PalListEntry* node) {
    node->prev = position;
    node->next = position->next;
    position->next->prev = node;
    position->next = node;
}

static inline void palListInsertHead(PalListEntry* head, PalListEntry* node) { palListInsertAfter(head, node); }

static inline void palListInsertTail(PalListEntry* head, PalListEntry* node) { palListInsertAfter(head->prev, node); }

static inline void palListRemove(PalListEntry* node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = PAL_LIST_POISON_NEXT;
    node->prev = PAL_LIST_POISON_PREV;
}

#ifdef __cplusplus
}
#endif

// The program of a room's link check (see korv_room in cmake/korv.cmake): it
// runs nothing; linking it proves that every object of the room finds what
// it calls in the rooms the room names.
int main()
{
    return 0;
}

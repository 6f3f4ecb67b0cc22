/* Stands in for a program: only its resources are looked at. */
int main(void)
{
    return 0;
}
